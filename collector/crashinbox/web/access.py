"""Who may do what: tokens carry scopes, and every route needs one scope, named here for
each blueprint and raised per view with @needs. One check before each request decides.

    upload   POST /store-dump/ (open while no token grants it: the reporter sends none)
    read     the pages and the JSON API (open while no token grants read or admin)
    symbols  POST /symbols/ (closed without a token that grants it)
    admin    changing a group's state; implies read
"""

import hmac
from dataclasses import dataclass, field
from typing import Callable, Optional

from flask import request

SCOPES = ("upload", "read", "symbols", "admin")
BLUEPRINT_SCOPES = {"upload": "upload", "symbols": "symbols", "pages": "read", "api": "read"}
IMPLIED = {"admin": {"read"}}
TOKEN_COOKIE = "inbox_token"
MIN_TOKEN_LENGTH = 8


class TokenFileError(ValueError):
    """A tokens file that cannot be used; the text names the line, never the token."""


def needs(scope: str) -> Callable:
    """Marks a view as needing scope instead of its blueprint's."""
    assert scope in SCOPES

    def mark(view: Callable) -> Callable:
        view.required_scope = scope
        return view
    return mark


@dataclass
class Tokens:
    entries: list = field(default_factory=list)  # [(token bytes, frozenset of scopes)]

    def add(self, token: str, scopes) -> None:
        granted = set(scopes)
        for scope in scopes:
            granted |= IMPLIED.get(scope, set())
        self.entries.append((token.encode(), frozenset(granted)))

    def granting(self, scope: str) -> bool:
        return any(scope in scopes for _, scopes in self.entries)

    def scopes_of(self, given: str) -> Optional[frozenset]:
        """The scopes of the token given, None for an unknown one. Every configured token is
        compared, each in constant time, so the answer's timing tells nothing."""
        found = None
        given_bytes = given.encode()
        for token, scopes in self.entries:
            if hmac.compare_digest(given_bytes, token) and found is None:
                found = scopes
        return found

    def is_open(self, scope: str) -> bool:
        """Whether scope needs no token: uploads and reading while no token grants them, and
        administration while the pages themselves are open."""
        if scope == "symbols":
            return False
        if scope == "upload":
            return not self.granting("upload")
        return not self.granting("read")


def read_tokens_file(path: str, tokens: Tokens) -> None:
    """Lines "scope[,scope] token"; blank lines and lines starting with # are skipped."""
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            words = line.split()
            if len(words) != 2:
                raise TokenFileError("%s:%d: want \"scope[,scope] token\"" % (path, number))
            scopes = words[0].split(",")
            unknown = [s for s in scopes if s not in SCOPES]
            if unknown:
                raise TokenFileError("%s:%d: unknown scope %r (known: %s)"
                                     % (path, number, unknown[0], ", ".join(SCOPES)))
            if len(words[1]) < MIN_TOKEN_LENGTH:
                raise TokenFileError("%s:%d: a token of fewer than %d characters"
                                     % (path, number, MIN_TOKEN_LENGTH))
            tokens.add(words[1], scopes)


def token_given() -> tuple:
    """(where, text) of the token the request carries."""
    header = request.headers.get("Authorization", "")
    if header.startswith("Bearer "):
        return "header", header[len("Bearer "):]
    if request.args.get("token"):
        return "query", request.args["token"]
    return "cookie", request.cookies.get(TOKEN_COOKIE) or ""


def required_scope(app) -> str:
    view = app.view_functions.get(request.endpoint)
    if view is not None and hasattr(view, "required_scope"):
        return view.required_scope
    return BLUEPRINT_SCOPES.get(request.blueprint, "read")


def refusal(text: str, status: int) -> tuple:
    return "refused: %s\n" % text, status, {"Content-Type": "text/plain"}


def check(app, tokens: Tokens) -> Optional[tuple]:
    """None when the request may go on, else the refusal. Sets request.token_scopes and,
    for a token given in the query, request.token_to_remember."""
    scope = required_scope(app)
    if tokens.is_open(scope):
        return None
    where, given = token_given()
    scopes = tokens.scopes_of(given) if given else None
    if scope == "symbols" and (scopes is None or scope not in scopes):
        # The symbol path has always answered 403 to anything but its token.
        return refusal("symbol uploads need the symbol token (Authorization: Bearer ...)", 403)
    if scopes is None:
        return refusal("a token is needed: ?token=... or Authorization: Bearer ...", 401)
    if scope not in scopes:
        return refusal("this token does not grant %s" % scope, 403)
    if where == "query":
        request.token_to_remember = given
    return None
