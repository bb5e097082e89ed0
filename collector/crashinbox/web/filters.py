"""The lists' filters from a request's query: the same names on the pages and in the API.
A value that cannot be meant is refused with 400 and says why."""

import calendar
import re
import time
from typing import Optional

from flask import abort, make_response, request

from ..index import GROUP_STATES, ReportFilter
from ..signature import HANG_CODE

FILTER_NAMES = ("app", "version", "q", "code", "annotation", "value", "since", "until",
                "state")
MAX_FILTER_LENGTH = 200
DATE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})$")
SECONDS_PER_DAY = 86400


def refuse(reason: str) -> None:
    abort(make_response("refused: %s\n" % reason, 400, {"Content-Type": "text/plain"}))


def parse_code(text: str) -> int:
    if text.lower() == "hang":
        return HANG_CODE
    try:
        code = int(text, 16) if text.lower().startswith("0x") else int(text)
    except ValueError:
        refuse("code=%r is not an exception code (0xC0000005, 3221225477 or hang)" % text)
    if not 0 <= code <= 0xFFFFFFFF:
        refuse("code=%r is beyond 32 bits" % text)
    return code


def parse_day(name: str, text: str) -> float:
    """The start of a UTC day, YYYY-MM-DD."""
    match = DATE.match(text)
    try:
        if not match:
            raise ValueError
        moment = time.strptime(text, "%Y-%m-%d")
    except ValueError:
        refuse("%s=%r is not a date (YYYY-MM-DD)" % (name, text))
    return float(calendar.timegm(moment))


def request_filter() -> ReportFilter:
    args = {}
    for name in FILTER_NAMES:
        value = request.args.get(name, "").strip()
        if len(value) > MAX_FILTER_LENGTH:
            refuse("%s is longer than %d characters" % (name, MAX_FILTER_LENGTH))
        if value:
            args[name] = value
    if "state" in args and args["state"] not in GROUP_STATES:
        refuse("state=%r is none of %s" % (args["state"], ", ".join(GROUP_STATES)))
    if "value" in args and "annotation" not in args:
        refuse("value= needs annotation= (the annotation's name)")
    since = parse_day("since", args["since"]) if "since" in args else None
    # "until" names the last day included.
    until = parse_day("until", args["until"]) + SECONDS_PER_DAY if "until" in args else None
    if since is not None and until is not None and until <= since:
        refuse("until is before since")
    return ReportFilter(app=args.get("app"), version=args.get("version"), text=args.get("q"),
                        code=parse_code(args["code"]) if "code" in args else None,
                        annotation=args.get("annotation"), value=args.get("value"),
                        since=since, until=until, state=args.get("state"))


def filter_arguments() -> dict:
    """The filters of the request as given, for links that keep them."""
    return {name: request.args[name] for name in FILTER_NAMES if request.args.get(name)}


def order_argument() -> str:
    order = request.args.get("order", "recent")
    if order not in ("recent", "count"):
        refuse("order=%r is neither recent nor count" % order)
    return order


def optional_version(text: Optional[str]) -> Optional[str]:
    text = (text or "").strip()
    if len(text) > 64:
        refuse("a version of more than 64 characters")
    return text or None
