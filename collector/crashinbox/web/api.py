"""The same data as JSON."""

from flask import Blueprint, abort, current_app, jsonify, request, url_for

from ..index import UNPROCESSED
from .pages import the_report

blueprint = Blueprint("api", __name__, url_prefix="/api")


def index():
    return current_app.extensions["inbox"].index


@blueprint.get("/groups")
def groups():
    return jsonify(index().groups(request.args.get("order", "recent")))


@blueprint.get("/groups/<group_id>")
def group(group_id: str):
    reports = index().group(group_id)
    if not reports:
        abort(404)
    return jsonify(reports)


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
