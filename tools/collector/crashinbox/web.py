"""The HTTP face of the inbox: the reporter's upload path, the pages and the JSON API."""

import hmac
import re
import time
from typing import Optional

from flask import Flask, Request, abort, g, jsonify, render_template, request, send_file, url_for
from werkzeug.utils import safe_join

from .inbox import Inbox
from .index import UNPROCESSED

UPLOAD_PATH = "/store-dump/"
FILE_PART = "crashdump"
NAME_FIELD = "name"
# Also bounds the multipart decoder's buffer, which holds one 64 KiB read and a boundary.
MAX_FIELD_BYTES = 1 << 20
MAX_PARTS = 64
TOKEN_COOKIE = "inbox_token"
MAX_DOWNLOAD_NAME = 120


def make_request_class(inbox: Inbox, max_body: int) -> type:
    class UploadRequest(Request):
        """File parts stream straight into the store's incoming folder."""
        max_content_length = max_body
        max_form_memory_size = MAX_FIELD_BYTES
        max_form_parts = MAX_PARTS

        def __init__(self, *arguments, **keywords):
            super().__init__(*arguments, **keywords)
            self.incoming = []
            self.committed = []

        def _get_file_stream(self, total_content_length, content_type, filename=None,
                             content_length=None):
            stream = inbox.store.new_incoming_file()
            self.incoming.append(stream)
            return stream
    return UploadRequest


def download_name(entry_name: str) -> str:
    """A file name for Content-Disposition from an archive entry's name, which may hold
    anything: its last component, in characters that need no quoting."""
    last = entry_name.replace("\\", "/").rsplit("/", 1)[-1]
    return re.sub(r"[^A-Za-z0-9._-]", "_", last)[:MAX_DOWNLOAD_NAME] or "entry"


def when(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def create_app(inbox: Inbox, token: Optional[str] = None, max_body: int = 2 << 30) -> Flask:
    app = Flask(__name__)
    app.request_class = make_request_class(inbox, max_body)
    app.config["MAX_CONTENT_LENGTH"] = max_body
    app.jinja_env.filters["when"] = when
    app.jinja_env.filters["hex"] = lambda v: "" if v is None else "0x%08X" % v

    def token_given() -> tuple:
        """(where, text) of the token the request carries."""
        header = request.headers.get("Authorization", "")
        if header.startswith("Bearer "):
            return "header", header[len("Bearer "):]
        if request.args.get("token"):
            return "query", request.args["token"]
        return "cookie", request.cookies.get(TOKEN_COOKIE) or ""

    @app.before_request
    def check_token():
        if token is None or request.path == UPLOAD_PATH:
            return None
        where, given = token_given()
        # The one comparison, in constant time; the cookie is set from its outcome.
        if not hmac.compare_digest(given.encode(), token.encode()):
            return ("a token is needed: ?token=... or Authorization: Bearer ...\n", 401,
                    {"Content-Type": "text/plain"})
        g.token_in_query = where == "query"
        return None

    @app.after_request
    def remember_token(response):
        if g.get("token_in_query"):
            response.set_cookie(TOKEN_COOKIE, token, httponly=True, samesite="Strict")
        return response

    @app.post(UPLOAD_PATH)
    def store_dump():
        part = request.files.get(FILE_PART)
        if part is None:
            return refuse("no file part named %s" % FILE_PART)
        name = request.form.get(NAME_FIELD)
        if name is None:
            return refuse("no form field named %s" % NAME_FIELD)
        if not inbox.has_room():  # bodies without a declared length get here
            return "refused: the collector's disk is nearly full\n", 507, {
                "Content-Type": "text/plain"}
        upload_id = inbox.receive(part.stream, name, part.filename, request.remote_addr or "")
        request.committed.append(part.stream)
        return "stored %s\n" % upload_id, 200, {"Content-Type": "text/plain"}

    @app.teardown_request
    def discard_parts(_error):
        # Parts that were not stored (extra ones, refused or broken bodies) go at once.
        for stream in getattr(request, "incoming", []):
            if stream not in request.committed:
                inbox.store.discard_incoming(stream)

    def refuse(reason: str):
        return "refused: %s\n" % reason, 400, {"Content-Type": "text/plain"}

    def the_report(upload_id: str) -> dict:
        report = inbox.index.report(upload_id)
        if report is None:
            abort(404)
        return report

    def report_file(upload_id: str, which: str) -> tuple:
        """(path, download name) of the archive, the dump, the screenshot or an entry."""
        report = the_report(upload_id)
        details = report["details"] or {}
        upload = inbox.store.upload_file(upload_id)
        files = details.get("files", [])
        if which == "archive" and details.get("kind") == "zip":
            return upload, upload_id + ".zip"
        if which == "upload":
            return upload, upload_id + ".bin"
        if which == "dump" and details.get("kind") == "dump":
            return upload, upload_id + ".dmp"
        wanted = {"dump": details.get("dump_name"),
                  "screenshot": (details.get("screenshot") or {}).get("name")}.get(which)
        for entry in files:
            if entry["stored"] and (entry["name"] == wanted or entry["stored"] == which):
                return (safe_join(inbox.store.files_folder(upload_id), entry["stored"]),
                        download_name(entry["name"]))
        abort(404)

    @app.get("/reports/<upload_id>/<which>")
    def download(upload_id: str, which: str):
        path, name = report_file(upload_id, which)
        inline = which == "screenshot"
        return send_file(path, mimetype="image/bmp" if inline else "application/octet-stream",
                         as_attachment=not inline, download_name=name)

    @app.get("/")
    def groups_page():
        order = request.args.get("order", "recent")
        return render_template("groups.html", groups=inbox.index.groups(order), order=order,
                               unprocessed=inbox.index.reports_in_state(UNPROCESSED),
                               counts=inbox.index.count())

    @app.get("/groups/<group_id>")
    def group_page(group_id: str):
        reports = inbox.index.group(group_id)
        if not reports:
            abort(404)
        return render_template("group.html", reports=reports, group_id=group_id)

    @app.get("/reports/<upload_id>")
    def report_page(upload_id: str):
        return render_template("report.html", report=the_report(upload_id))

    @app.get("/api/groups")
    def api_groups():
        return jsonify(inbox.index.groups(request.args.get("order", "recent")))

    @app.get("/api/groups/<group_id>")
    def api_group(group_id: str):
        reports = inbox.index.group(group_id)
        if not reports:
            abort(404)
        return jsonify(reports)

    @app.get("/api/reports/<upload_id>")
    def api_report(upload_id: str):
        report = the_report(upload_id)
        report["links"] = {which: url_for("download", upload_id=upload_id, which=which)
                           for which in ("archive", "dump", "screenshot")}
        report["page"] = url_for("report_page", upload_id=upload_id)
        return jsonify(report)

    @app.get("/api/unprocessed")
    def api_unprocessed():
        return jsonify(inbox.index.reports_in_state(UNPROCESSED))

    @app.get("/api/status")
    def api_status():
        return jsonify(inbox.index.count())

    return app
