"""The same data as JSON, with the pages' filters."""

from flask import Blueprint, abort, current_app, jsonify, request, url_for

from ..index import UNPROCESSED
from .access import needs
from .filters import optional_version, order_argument, refuse, request_filter
from .pages import the_report
from .triage import day_list, group_overview

blueprint = Blueprint("api", __name__, url_prefix="/api")


def index():
    return current_app.extensions["inbox"].index


@blueprint.get("/groups")
def groups():
    return jsonify(index().groups(order_argument(), narrow=request_filter()))


@blueprint.get("/groups/<group_id>")
def group(group_id: str):
    narrow = request_filter()
    reports = index().group(group_id, narrow=narrow)
    if not reports and (not narrow.active() or not index().group(group_id, limit=1)):
        abort(404)
    return jsonify(reports)


@blueprint.get("/groups/<group_id>/overview")
def overview(group_id: str):
    found = group_overview(group_id, request_filter())
    found.pop("day_counts")
    return jsonify(found)


@blueprint.post("/groups/<group_id>/state")
@needs("admin")
def set_state(group_id: str):
    """{"state": "resolved", "version": "1.4"} or {"state": "open"}."""
    body = request.get_json(silent=True)
    if not isinstance(body, dict):
        refuse("a JSON object is needed: {\"state\": \"resolved\", \"version\": \"1.4\"}")
    state = body.get("state")
    version = body.get("version")
    if state not in ("open", "resolved"):
        refuse("state must be open or resolved")
    if version is not None and not isinstance(version, str):
        refuse("version must be a text")
    version = optional_version(version)
    if state == "resolved" and not version:
        refuse("resolving needs the version that fixes it")
    changed = index().set_group_state(group_id, state, version)
    if changed is None:
        abort(404)
    return jsonify(changed)


@blueprint.get("/reports")
def reports():
    return jsonify(index().reports(request_filter()))


@blueprint.get("/days")
def days():
    """Processed reports per day over the last 30 days, of the whole inbox as filtered."""
    return jsonify(day_list(index().daily_counts(None, request_filter()).get(None, {})))


@blueprint.get("/reports/<upload_id>")
def report(upload_id: str):
    found = the_report(upload_id)
    found["links"] = {which: url_for("pages.download", upload_id=upload_id, which=which)
                      for which in ("archive", "dump", "screenshot")}
    found["page"] = url_for("pages.report_page", upload_id=upload_id)
    return jsonify(found)


@blueprint.get("/unprocessed")
def unprocessed():
    return jsonify(index().reports_in_state(UNPROCESSED))


@blueprint.get("/status")
def status():
    return jsonify(index().count())


@blueprint.get("/webhooks")
@needs("admin")
def webhooks():
    """The latest deliveries: where, in which state, after how many attempts, why not."""
    return jsonify(current_app.extensions["inbox"].dispatcher.deliveries())
