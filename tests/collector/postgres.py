"""A throwaway PostgreSQL server for the collector's tests: its own cluster in a temporary
folder, on 127.0.0.1 and a free port, run as the unprivileged postgres user (PostgreSQL
refuses root), stopped and removed at the end of the test run."""

import atexit
import hashlib
import os
import pwd
import shutil
import socket
import subprocess
import tempfile

BIN = "/usr/lib/postgresql/15/bin"
USER = "postgres"
START_SECONDS = 60


def as_postgres(*command):
    return subprocess.run(["runuser", "-u", USER, "--", *command], check=True,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PostgresServer:
    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="collector-postgres-")
        account = pwd.getpwnam(USER)
        os.chown(self.folder, account.pw_uid, account.pw_gid)
        self.data = os.path.join(self.folder, "data")
        self.port = free_port()
        as_postgres(os.path.join(BIN, "initdb"), "-D", self.data, "-U", USER, "--auth=trust",
                    "-E", "UTF8", "--no-instructions")
        as_postgres(os.path.join(BIN, "pg_ctl"), "-D", self.data, "-w", "-t",
                    str(START_SECONDS), "-l", os.path.join(self.folder, "log"), "-o",
                    "-h 127.0.0.1 -p %d -k %s -c max_connections=400" % (self.port,
                                                                         self.folder),
                    "start")
        self.databases = set()

    def url(self, name="postgres"):
        return "postgresql://%s@127.0.0.1:%d/%s" % (USER, self.port, name)

    def database(self, key):
        """The URL of a database for key (the same key, the same database), made on first
        use."""
        name = "inbox_" + hashlib.sha256(key.encode()).hexdigest()[:16]
        if name not in self.databases:
            as_postgres(os.path.join(BIN, "psql"), "-h", "127.0.0.1", "-p", str(self.port),
                        "-d", "postgres", "-q", "-c", "CREATE DATABASE %s" % name)
            self.databases.add(name)
        return self.url(name)

    def stop(self):
        subprocess.run(["runuser", "-u", USER, "--", os.path.join(BIN, "pg_ctl"), "-D",
                        self.data, "-m", "fast", "-w", "stop"], stdin=subprocess.DEVNULL,
                       capture_output=True)
        shutil.rmtree(self.folder, ignore_errors=True)


SERVER = None


def server():
    """The test run's server, started on first use."""
    global SERVER
    if SERVER is None:
        SERVER = PostgresServer()
        atexit.register(SERVER.stop)
    return SERVER
