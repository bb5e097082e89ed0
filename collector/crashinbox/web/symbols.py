"""The symbol upload path: module files and their separate debug files for the symbol store,
behind their own token."""

from flask import Blueprint, current_app, request

from ..symbols import SymbolError, is_module_name, parse_key
from .upload import refuse

SYMBOLS_PATH = "/symbols/"
SYMBOL_PART = "symbol"
KEY_FIELD = "key"

blueprint = Blueprint("symbols", __name__)


@blueprint.post(SYMBOLS_PATH)
def upload_symbols():
    """One or more parts named "symbol"; a "key" field, when sent, must be the key the files'
    own headers give (one key per part, in order). A part that is not an .exe or .dll is a
    module's separate debug file: its key is needed, and the module stored under it (or sent
    before it in the same upload) must name it in its .gnu_debuglink, with its CRC32. The
    symbols scope is checked before."""
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
    checked = []  # (part, key, name of a debug file or None for a module file)
    modules = {}  # key: stream of the module files of this upload
    for number, part in enumerate(parts):
        name = part.filename or ""
        try:
            if is_module_name(name) or not claimed:
                key = inbox.symbols.key_of(name, part.stream)
                if claimed and claimed[number].lower() != key.lower():
                    return refuse("the key %r does not match the file's header (%s)"
                                  % (claimed[number], key))
                modules[key] = part.stream
                checked.append((part, key, None))
            else:
                key = parse_key(claimed[number])
                checked.append((part, *inbox.symbols.check_debug_file(
                    key, name, part.stream, modules.get(key))))
        except SymbolError as error:
            return refuse(str(error))
    lines = []
    for part, key, debug_name in checked:
        if debug_name:
            queued = inbox.add_debug_file(part.stream, key, debug_name)
        else:
            _, queued = inbox.add_symbols(part.stream, part.filename)
        request.committed.append(part.stream)
        lines.append("stored %s%s (%d reports queued again)\n"
                     % (key, " debug file " + debug_name if debug_name else "", queued))
    return "".join(lines), 200, {"Content-Type": "text/plain"}
