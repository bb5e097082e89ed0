"""The upload-symbols command: every .exe and .dll under a folder goes to a collector's
symbol path, each with the key its own header gives, and after it the separate debug file
that its .gnu_debuglink names, under the same key."""

import http.client
import os
import sys
import urllib.parse
import uuid
from typing import Iterator

from .symbols import SYMBOL_SUFFIXES, SymbolError, debug_link, module_key, pe_identity

CHUNK = 1 << 20
SECONDS = 600
# Where the GNU tools look for a debuglink's file, relative to the module's folder.
DEBUG_FOLDERS = ("", ".debug")


def module_files(folder: str) -> list:
    found = []
    for base, _, names in os.walk(folder):
        found += [os.path.join(base, n) for n in names if n.lower().endswith(SYMBOL_SUFFIXES)]
    return sorted(found)


def multipart(path: str, key: str, boundary: str) -> tuple:
    """(length, chunks) of a body with the key field and the file part, read as it is sent."""
    head = ("--%s\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n%s\r\n--%s\r\n"
            "Content-Disposition: form-data; name=\"symbol\"; filename=\"%s\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n"
            % (boundary, key, boundary, os.path.basename(path))).encode()
    tail = ("\r\n--%s--\r\n" % boundary).encode()

    def chunks() -> Iterator[bytes]:
        yield head
        with open(path, "rb") as f:
            while True:
                chunk = f.read(CHUNK)
                if not chunk:
                    break
                yield chunk
        yield tail
    return len(head) + os.path.getsize(path) + len(tail), chunks()


def debug_file(module: str) -> tuple:
    """(name that the module's debuglink gives or None, path of that file or None)."""
    with open(module, "rb") as f:
        link = debug_link(f)
    if not link or os.path.basename(link[0]) != link[0]:
        return None, None
    for folder in DEBUG_FOLDERS:
        path = os.path.join(os.path.dirname(module), folder, link[0])
        if os.path.isfile(path):
            return link[0], path
    return link[0], None


def upload_file(url: str, token: str, path: str, key: str) -> tuple:
    """(HTTP status, answer text) of one file's upload under a module's key."""
    target = urllib.parse.urlsplit(url)
    connection_class = (http.client.HTTPSConnection if target.scheme == "https"
                        else http.client.HTTPConnection)
    boundary = uuid.uuid4().hex
    length, body = multipart(path, key, boundary)
    connection = connection_class(target.netloc, timeout=SECONDS)
    try:
        connection.request("POST", target.path.rstrip("/") + "/symbols/", body=body, headers={
            "Content-Type": "multipart/form-data; boundary=" + boundary,
            "Content-Length": str(length), "Authorization": "Bearer " + token})
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8", "replace").strip()
    finally:
        connection.close()


def upload_symbols(folder: str, url: str, token: str) -> int:
    """Exit status: 0 when every file was stored; files that are not PE images are skipped,
    and so are debug files that a module names but that are not there."""
    failed = 0
    for path in module_files(folder):
        try:
            with open(path, "rb") as f:
                key = module_key(os.path.basename(path), *pe_identity(f))
            status, text = upload_file(url, token, path, key)
        except SymbolError as error:
            print("skipped %s: %s" % (path, error), flush=True)
            continue
        except OSError as error:
            status, text = None, str(error)
        print("%s: %s %s" % (path, status, text), flush=True)
        failed += status != 200
        if status != 200:
            continue
        try:
            name, debug = debug_file(path)
        except (OSError, SymbolError) as error:
            name, debug = None, None
            print("skipped the debug file of %s: %s" % (path, error), flush=True)
        if name and not debug:
            print("skipped %s: its debug file %s is not beside it" % (path, name), flush=True)
        if not debug:
            continue
        try:
            status, text = upload_file(url, token, debug, key)
        except OSError as error:
            status, text = None, str(error)
        print("%s: %s %s" % (debug, status, text), flush=True)
        failed += status != 200
    return 1 if failed else 0


def main(argv: list) -> int:
    import argparse
    parser = argparse.ArgumentParser(prog="service.py upload-symbols",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("url", help="the collector, e.g. http://127.0.0.1:8080")
    parser.add_argument("--symbol-token", default=os.environ.get("CRASHINBOX_SYMBOL_TOKEN"),
                        help="the collector's --symbol-token (or CRASHINBOX_SYMBOL_TOKEN)")
    args = parser.parse_args(argv)
    if not args.symbol_token:
        parser.error("a symbol token is needed")
    return upload_symbols(args.folder, args.url, args.symbol_token)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
