"""The lock server of a wendlemoor-chaos run, for adapters on the Python kit.

An adapter file that declares a line "# wendlemoor-server: KIND" gets a
server of that kind, started by the run (or the card, once per row) before
any adapter, private to it, and stopped after the last (chaos/server.h);
its address is in the environment variable WENDLEMOOR_SERVER: "unix:PATH"
for a Unix socket, "HOST:PORT" for a loopback port.

Every adapter process of one run gets the same lock folder, and no other
run does, so a lock's name on the server is made of the folder and the
run's name: runs that share a server never share a lock.
"""
import hashlib
import importlib
import importlib.util
import os
import threading

VARIABLE = "WENDLEMOOR_SERVER"


def address():
    """("unix", PATH) or ("tcp", HOST, PORT); None when no server is set."""
    value = os.environ.get(VARIABLE, "")
    if value.startswith("unix:"):
        return ("unix", value[len("unix:"):])
    host, colon, port = value.rpartition(":")
    if not colon or not host or not port.isdigit():
        return None
    return ("tcp", host, int(port))


def key(folder, name):
    """The server's name for lock `name` of the run whose lock folder is
    `folder`: letters, digits and "-" only."""
    run = hashlib.sha256(os.path.realpath(folder).encode()).hexdigest()[:16]
    return f"wendlemoor-{run}-{name}"


def number(folder, name):
    """The same as a signed 64-bit number, for locks named by numbers."""
    digest = hashlib.sha256(key(folder, name).encode()).digest()
    return int.from_bytes(digest[:8], "big", signed=True)


class Library:
    """A client library imported in the background. Such libraries (and what
    they load, gRPC for one) take seconds to import on a busy machine, and
    the run gives an adapter 5 s to greet: the adapter looks that the
    library is there (`found`), greets, and its first call waits for the
    import (`module()`)."""

    def __init__(self, name):
        self.name = name
        self.found = importlib.util.find_spec(name) is not None
        self._module = None
        self._error = None
        self._thread = threading.Thread(target=self._load, daemon=True)
        if self.found:
            self._thread.start()

    def _load(self):
        try:
            self._module = importlib.import_module(self.name)
        except Exception as error:  # raised again by module()
            self._error = error

    def module(self):
        """The library, once imported; raises what its import raised."""
        self._thread.join()
        if self._error is not None:
            raise self._error
        return self._module


class Client:
    """One client for all threads, made at the first call by `make`."""

    def __init__(self, make):
        self._make = make
        self._lock = threading.Lock()  # guards _client
        self._client = None

    def get(self):
        with self._lock:
            if self._client is None:
                self._client = self._make()
            return self._client


def missing(library, package):
    """The greeting's "missing" word for an adapter on `library`: the
    package when the library is not installed, the variable when no server
    address is set, else None."""
    if not library.found:
        return package
    return None if address() else VARIABLE
