"""The symbol upload path: module files for the symbol store, behind their own token."""

from flask import Blueprint, current_app, request

from ..symbols import SymbolError
from .upload import refuse

SYMBOLS_PATH = "/symbols/"
SYMBOL_PART = "symbol"
KEY_FIELD = "key"

blueprint = Blueprint("symbols", __name__)


@blueprint.post(SYMBOLS_PATH)
def upload_symbols():
    """One or more parts named "symbol"; a "key" field, when sent, must be the key the files'
    own headers give (one key per part, in order). The symbols scope is checked before."""
    if (request.content_length or 0) > current_app.config["MAX_SYMBOL_BYTES"]:
        return refuse("more than %d bytes of symbols" % current_app.config["MAX_SYMBOL_BYTES"],
                      413)
    inbox = current_app.extensions["inbox"]
    parts = request.files.getlist(SYMBOL_PART)
    if not parts:
        return refuse("no file part named %s" % SYMBOL_PART)
    claimed = request.form.getlist(KEY_FIELD)
    if claimed and len(claimed) != len(parts):
        return refuse("%d keys for %d files" % (len(claimed), len(parts)))
    if not inbox.has_room():
        return refuse("the collector's disk is nearly full", 507)
    keys = []
    for number, part in enumerate(parts):
        try:
            key = inbox.symbols.key_of(part.filename or "", part.stream)
        except SymbolError as error:
            return refuse(str(error))
        if claimed and claimed[number].lower() != key.lower():
            return refuse("the key %r does not match the file's header (%s)"
                          % (claimed[number], key))
        keys.append(key)
    lines = []
    for part, key in zip(parts, keys):
        _, queued = inbox.add_symbols(part.stream, part.filename)
        request.committed.append(part.stream)
        lines.append("stored %s (%d reports queued again)\n" % (key, queued))
    return "".join(lines), 200, {"Content-Type": "text/plain"}
