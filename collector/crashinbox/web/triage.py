"""What the pages and the API both show about groups: state, versions and reports per day."""

import time
from typing import Optional

from flask import abort, current_app

from ..index import CHART_DAYS, NO_FILTER, ReportFilter
from ..versions import version_key

SECONDS_PER_DAY = 86400


def index():
    return current_app.extensions["inbox"].index


def today() -> int:
    return int(time.time() // SECONDS_PER_DAY)


def day_list(counts: dict, days: int = CHART_DAYS) -> list:
    """[{"day": "YYYY-MM-DD", "count"}] for the last days days, oldest first."""
    now = today()
    return [{"day": time.strftime("%Y-%m-%d", time.gmtime(d * SECONDS_PER_DAY)),
             "count": counts.get(d, 0)} for d in range(now - days + 1, now + 1)]


def sorted_versions(rows: list) -> list:
    """Newest version first, reports of no known version last."""
    known = sorted((r for r in rows if r["version"]), key=lambda r: version_key(r["version"]),
                   reverse=True)
    return known + [r for r in rows if not r["version"]]


def group_overview(group_id: str, narrow: ReportFilter = NO_FILTER) -> dict:
    """The group's state, its versions and its reports per day; 404 for a group never seen."""
    state = index().group_states([group_id]).get(group_id)
    versions = index().versions(group_id)
    if state is None and not versions:
        abort(404)
    state = state or {"group_id": group_id, "state": "open", "first_version": None,
                      "resolved_in": None, "regressed_in": None, "changed": None}
    counts = index().daily_counts([group_id], narrow).get(group_id, {})
    return dict(state, versions=sorted_versions(versions), days=day_list(counts),
                day_counts=counts)


def version_mark(version: Optional[str], state: dict) -> str:
    """What a version means to the group: where it appeared, was fixed, came back."""
    marks = []
    if version and version == state.get("first_version"):
        marks.append("new")
    if version and version == state.get("resolved_in"):
        marks.append("resolved")
    if version and version == state.get("regressed_in"):
        marks.append("regressed")
    return ", ".join(marks)
