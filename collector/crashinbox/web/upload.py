"""The reporter's upload path: multipart bodies whose file part streams into the store."""

from flask import Blueprint, Request, current_app, request

from .limits import retry_after

UPLOAD_PATH = "/store-dump/"
FILE_PART = "crashdump"
NAME_FIELD = "name"
# Also bounds the multipart decoder's buffer, which holds one 64 KiB read and a boundary.
MAX_FIELD_BYTES = 1 << 20
MAX_PARTS = 64

blueprint = Blueprint("upload", __name__)


def make_request_class(inbox, max_body: int) -> type:
    class UploadRequest(Request):
        """File parts stream straight into the store's incoming folder."""
        max_content_length = max_body
        max_form_memory_size = MAX_FIELD_BYTES
        max_form_parts = MAX_PARTS

        def __init__(self, *arguments, **keywords):
            super().__init__(*arguments, **keywords)
            self.incoming = []
            self.committed = []

        def _get_file_stream(self, total_content_length, content_type, filename=None,
                             content_length=None):
            stream = inbox.store.new_incoming_file()
            self.incoming.append(stream)
            return stream
    return UploadRequest


def refuse(reason: str, status: int = 400) -> tuple:
    return "refused: %s\n" % reason, status, {"Content-Type": "text/plain"}


@blueprint.post(UPLOAD_PATH)
def store_dump():
    inbox = current_app.extensions["inbox"]
    part = request.files.get(FILE_PART)
    if part is None:
        return refuse("no file part named %s" % FILE_PART)
    name = request.form.get(NAME_FIELD)
    if name is None:
        return refuse("no form field named %s" % NAME_FIELD)
    wait = current_app.extensions["limiter"].take(name)
    if wait is not None:  # the part is discarded below, as for any refusal
        return ("refused: more uploads from this application than its rate allows\n", 429,
                {"Content-Type": "text/plain", "Retry-After": retry_after(wait)})
    if not inbox.has_room():  # bodies without a declared length get here
        return refuse("the collector's disk is nearly full", 507)
    upload_id = inbox.receive(part.stream, name, part.filename, request.remote_addr or "")
    request.committed.append(part.stream)
    return "stored %s\n" % upload_id, 200, {"Content-Type": "text/plain"}


@blueprint.teardown_app_request
def discard_parts(_error):
    # Parts that were not stored (extra ones, refused or broken bodies) go at once, and so do
    # the staging folders that stored ones left.
    store = current_app.extensions["inbox"].store
    for stream in getattr(request, "incoming", []):
        if stream in request.committed:
            store.release_incoming(stream)
        else:
            store.discard_incoming(stream)
