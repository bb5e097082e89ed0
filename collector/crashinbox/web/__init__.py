"""The HTTP face of the inbox, one blueprint per concern: the reporter's upload path, the
symbol path, the pages and the JSON API. Access is decided in one place (access.py)."""

import time
from typing import Optional

from flask import Flask, request

from ..inbox import Inbox
from . import access, api, pages, symbols, upload
from .access import TOKEN_COOKIE, Tokens
from .limits import UploadLimiter

UPLOAD_PATH = upload.UPLOAD_PATH
SYMBOLS_PATH = symbols.SYMBOLS_PATH
DEFAULT_MAX_SYMBOL_BYTES = 1 << 30


def when(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def create_app(inbox: Inbox, token: Optional[str] = None, max_body: int = 2 << 30,
               symbol_token: Optional[str] = None,
               max_symbol_bytes: int = DEFAULT_MAX_SYMBOL_BYTES,
               tokens: Optional[Tokens] = None,
               limiter: Optional[UploadLimiter] = None) -> Flask:
    """token: read access as before; symbol_token: the symbol path; tokens: scoped ones."""
    tokens = Tokens(list(tokens.entries)) if tokens else Tokens()
    if token is not None:
        tokens.add(token, ["read"])
    if symbol_token is not None:
        tokens.add(symbol_token, ["symbols"])
    app = Flask(__name__)
    app.extensions["inbox"] = inbox
    app.extensions["tokens"] = tokens
    app.extensions["limiter"] = limiter or UploadLimiter(0, 1)
    app.config["MAX_SYMBOL_BYTES"] = max_symbol_bytes
    app.request_class = upload.make_request_class(inbox, max_body)
    app.config["MAX_CONTENT_LENGTH"] = max_body
    app.jinja_env.filters["when"] = when
    app.jinja_env.filters["hex"] = lambda v: "" if v is None else "0x%08X" % v

    @app.before_request
    def check_access():
        return access.check(app, tokens)

    @app.after_request
    def remember_token(response):
        remembered = getattr(request, "token_to_remember", None)
        if remembered:
            response.set_cookie(TOKEN_COOKIE, remembered, httponly=True, samesite="Strict")
        return response

    app.register_blueprint(upload.blueprint)
    app.register_blueprint(symbols.blueprint)
    app.register_blueprint(pages.blueprint)
    app.register_blueprint(api.blueprint)
    return app
