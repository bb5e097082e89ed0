"""The pages: groups, a group's reports, a report, and the report's files."""

import re

from flask import (Blueprint, abort, current_app, redirect, render_template, request, send_file,
                   url_for)
from werkzeug.utils import safe_join

from ..index import GROUP_STATES, UNPROCESSED
from ..minidump import exception_name
from .access import needs
from .charts import daily_chart
from .filters import (filter_arguments, optional_version, order_argument, refuse,
                      request_filter)
from .triage import group_overview, today, version_mark

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


@blueprint.app_template_global()
def code_text(code) -> str:
    return "" if code is None else "0x%08X %s" % (code, exception_name(code))


@blueprint.get("/")
def groups_page():
    order = order_argument()
    narrow = request_filter()
    index = inbox().index
    groups = index.groups(order, narrow=narrow)
    days = index.daily_counts([g["group_id"] for g in groups], narrow)
    whole = index.daily_counts(None, narrow).get(None, {})
    now = today()
    return render_template("groups.html", groups=groups, order=order,
                           filters=filter_arguments(), states=GROUP_STATES,
                           applications=index.applications(),
                           charts={g: daily_chart(c, now, small=True) for g, c in days.items()},
                           empty_chart=daily_chart({}, now, small=True),
                           inbox_chart=daily_chart(whole, now), total=sum(whole.values()),
                           unprocessed=index.reports_in_state(UNPROCESSED),
                           counts=index.count())


@blueprint.get("/groups/<group_id>")
def group_page(group_id: str):
    narrow = request_filter()
    overview = group_overview(group_id, narrow)
    reports = inbox().index.group(group_id, narrow=narrow)
    signature = (reports[0]["signature"] if reports else
                 (inbox().index.group(group_id, limit=1) or [{"signature": group_id}])[0]
                 ["signature"])
    return render_template("group.html", reports=reports, group_id=group_id,
                           signature=signature, overview=overview, filters=filter_arguments(),
                           chart=daily_chart(overview["day_counts"], today()),
                           mark=version_mark, applications=inbox().index.applications(),
                           states=None, order=None)


@blueprint.post("/groups/<group_id>/state")
@needs("admin")
def set_state_page(group_id: str):
    """The group page's form: resolved in a version, or open again."""
    state = request.form.get("state", "")
    version = optional_version(request.form.get("version"))
    if state not in ("open", "resolved"):
        refuse("state=%r is neither open nor resolved" % state)
    if state == "resolved" and not version:
        refuse("resolving needs the version that fixes it")
    if inbox().index.set_group_state(group_id, state, version) is None:
        abort(404)
    return redirect(url_for("pages.group_page", group_id=group_id), 303)


@blueprint.get("/reports/<upload_id>")
def report_page(upload_id: str):
    return render_template("report.html", report=the_report(upload_id))
