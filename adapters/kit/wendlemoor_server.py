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
import os

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
