"""The HTTP face of the inbox, one blueprint per concern: the reporter's upload path, the
pages and the JSON API. The token guards everything but the upload path."""

import hmac
import time
from typing import Optional

from flask import Flask, g, request

from ..inbox import Inbox
from . import api, pages, symbols, upload

TOKEN_COOKIE = "inbox_token"
UPLOAD_PATH = upload.UPLOAD_PATH
SYMBOLS_PATH = symbols.SYMBOLS_PATH
DEFAULT_MAX_SYMBOL_BYTES = 1 << 30


def when(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def token_given() -> tuple:
    """(where, text) of the token the request carries."""
    header = request.headers.get("Authorization", "")
    if header.startswith("Bearer "):
        return "header", header[len("Bearer "):]
    if request.args.get("token"):
        return "query", request.args["token"]
    return "cookie", request.cookies.get(TOKEN_COOKIE) or ""


def create_app(inbox: Inbox, token: Optional[str] = None, max_body: int = 2 << 30,
               symbol_token: Optional[str] = None,
               max_symbol_bytes: int = DEFAULT_MAX_SYMBOL_BYTES) -> Flask:
    app = Flask(__name__)
    app.extensions["inbox"] = inbox
    app.config["SYMBOL_TOKEN"] = symbol_token
    app.config["MAX_SYMBOL_BYTES"] = max_symbol_bytes
    app.request_class = upload.make_request_class(inbox, max_body)
    app.config["MAX_CONTENT_LENGTH"] = max_body
    app.jinja_env.filters["when"] = when
    app.jinja_env.filters["hex"] = lambda v: "" if v is None else "0x%08X" % v

    @app.before_request
    def check_token():
        if token is None or request.path in (UPLOAD_PATH, SYMBOLS_PATH):
            return None  # the reporter's path is open; symbols have their own token
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

    app.register_blueprint(upload.blueprint)
    app.register_blueprint(symbols.blueprint)
    app.register_blueprint(pages.blueprint)
    app.register_blueprint(api.blueprint)
    return app
