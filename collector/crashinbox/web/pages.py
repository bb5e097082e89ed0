"""The pages: groups, a group's reports, a report, and the report's files."""

import re

from flask import Blueprint, abort, current_app, render_template, request, send_file
from werkzeug.utils import safe_join

from ..index import UNPROCESSED

MAX_DOWNLOAD_NAME = 120

blueprint = Blueprint("pages", __name__, template_folder="templates")


def inbox():
    return current_app.extensions["inbox"]


def download_name(entry_name: str) -> str:
    """A file name for Content-Disposition from an archive entry's name, which may hold
    anything: its last component, in characters that need no quoting."""
    last = entry_name.replace("\\", "/").rsplit("/", 1)[-1]
    return re.sub(r"[^A-Za-z0-9._-]", "_", last)[:MAX_DOWNLOAD_NAME] or "entry"


def the_report(upload_id: str) -> dict:
    report = inbox().index.report(upload_id)
    if report is None:
        abort(404)
    return report


def report_file(upload_id: str, which: str) -> tuple:
    """(path, download name) of the archive, the dump, the screenshot or an entry."""
    report = the_report(upload_id)
    store = inbox().store
    details = report["details"] or {}
    upload = store.upload_file(upload_id)
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
            return (safe_join(store.files_folder(upload_id), entry["stored"]),
                    download_name(entry["name"]))
    abort(404)


@blueprint.get("/reports/<upload_id>/<which>")
def download(upload_id: str, which: str):
    path, name = report_file(upload_id, which)
    inline = which == "screenshot"
    return send_file(path, mimetype="image/bmp" if inline else "application/octet-stream",
                     as_attachment=not inline, download_name=name)


@blueprint.get("/")
def groups_page():
    order = request.args.get("order", "recent")
    index = inbox().index
    return render_template("groups.html", groups=index.groups(order), order=order,
                           unprocessed=index.reports_in_state(UNPROCESSED),
                           counts=index.count())


@blueprint.get("/groups/<group_id>")
def group_page(group_id: str):
    reports = inbox().index.group(group_id)
    if not reports:
        abort(404)
    return render_template("group.html", reports=reports, group_id=group_id)


@blueprint.get("/reports/<upload_id>")
def report_page(upload_id: str):
    return render_template("report.html", report=the_report(upload_id))
