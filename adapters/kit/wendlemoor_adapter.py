"""The Python kit for wendlemoor-chaos adapters (docs/adapter-protocol.md).

The kit speaks the whole protocol on standard input and output; an adapter
supplies only its lock calls, as a subclass of Lock, and hands the class to
run(). An adapter in adapters/ finds the kit beside it, whatever the working
folder, with the standard library alone:

    sys.path.insert(0, os.path.join(
        os.path.dirname(os.path.realpath(__file__)), "kit"))
    import wendlemoor_adapter

What the kit does for every adapter:
- Greets with the protocol version and Lock.offers (threads, thread-end,
  fork, misuse, instances, spawn, open-close) and the lease run() is given
  ("lease=MS"), or with "missing WHAT" when run() is told the library is
  not installed; then it exits.
- Makes two Lock objects, instances 1 and 2: a request ending in "2" goes
  to the second, one without an instance or ending in "1" to the first.
  An adapter whose library has no second lock object in one process
  leaves "instances" out of its offers.
- Serves each run thread T in a Python thread of its own, started at T's
  first request and fed by a queue, so a waiting acquire blocks T alone.
  Answers are written whole, one at a time, from any thread.
- Keeps the misuse bookkeeping: each thread's holds per instance (name ->
  hold). Taking a name the thread holds through that instance is answered
  "failed deadlock", giving back one it does not hold there "failed
  not-held"; the lock never sees either.
- "end T": calls each instance's Lock.thread_ended with T's holds there,
  then drops them and ends T's Python thread. What a dropped hold does is
  the library's affair (an object whose deletion unlocks unlocks; a bare
  flag stays set).
- "fork T NAME": forks in T's thread. The child calls Lock.child_release
  on T's hold of NAME ("not-held" without one), then Lock.child_acquire,
  writes both results into a pipe and exits; the parent waits for it at
  most FORK_DEADLINE_S (then kills it) and answers "forked RELEASE ACQUIRE".
- "open-close T NAME": while T holds NAME, a helper thread opens, reads
  and closes every regular file of the lock folder, NAME's among them, as
  a backup inside the same program would; then "T done". The lock is not
  called: a lock whose hold any close of its file drops breaks here.
- "spawn T NAME": while T holds NAME, Lock.spawn starts a child that lives
  SPAWN_SECONDS, by default `sleep` through subprocess.Popen with its
  default close_fds=True, as a Python program starts one; answered "done"
  once it runs. Children are reaped as they end and killed at the exit.
- A lock that gives fencing tokens has "fencing" in its offers and returns
  Fenced(hold, token) from acquire (and child_acquire): the grant is
  answered "ok TOKEN", and `hold` alone is kept and handed back.
- An exception from the lock is answered "failed" with its class's name.
- A request that does not parse is answered at once: "T failed
  bad-request" (wrong words after a known verb), "T failed unknown-request"
  (a verb this adapter does not offer), and "? failed bad-request" where no
  thread number can be read, which the run takes for garbage.
- At the end of standard input every thread gives back what it holds
  (Lock.release); the kit waits for that at most CLOSE_DEADLINE_S, since a
  thread inside a waiting acquire may never come back, kills a forked or
  spawned child still running, and exits. What is still held goes with the
  process.

Thread safety: the kit calls each of its two Lock objects from all its
threads at once; each hold is used only by the thread that took it (and a
forked child).
"""
import os
import queue
import re
import select
import signal
import stat
import subprocess
import sys
import threading
import time
import warnings

VERSION = 1
# The run waits 5 s for an answer other than a waiting acquire's.
FORK_DEADLINE_S = 4.0
# The run kills an adapter 2 s after it closed its standard input.
CLOSE_DEADLINE_S = 1.0
# How long a spawned child lives (the protocol asks for 1 to 2 s).
SPAWN_SECONDS = "1.5"

# The words after the thread number, by verb, and the greeting word that
# offers the verb (None: always understood). A request is a row here and a
# method of _Thread named for its verb; all but "end" may end with an
# instance where the adapter offers "instances".
REQUESTS = {
    "acquire": (("name", "mode"), None),
    "release": (("name",), None),
    "end": ((), "thread-end"),
    "fork": (("name",), "fork"),
    "open-close": (("name",), "open-close"),
    "spawn": (("name",), "spawn"),
}
_WORD = {"name": re.compile(r"[A-Za-z0-9-]+\Z"),
         "mode": re.compile(r"(no)?wait\Z")}
_INSTANCE = re.compile(r"[12]\Z")
_THREAD = re.compile(r"[0-9]{1,9}\Z")


class Fenced:
    """A grant with its fencing token: `hold` as acquire would return it,
    `token` a whole number from 0 to 2**64 - 1 that grows with every grant
    of the name."""

    __slots__ = ("hold", "token")

    def __init__(self, hold, token):
        self.hold = hold
        self.token = token


class Lock:
    """An adapter's lock. Subclasses write acquire and release; the rest
    has defaults. `folder` is the run's lock folder, which a cleaner may
    remove at any time between holds."""

    offers = ("threads", "thread-end", "fork", "misuse", "instances",
              "spawn", "open-close")

    def __init__(self, folder):
        self.folder = folder

    def path(self, name):
        """FOLDER/NAME (the folder is not created)."""
        return os.path.join(self.folder, name)

    def acquire(self, name, wait):
        """Takes `name` for the calling thread, waiting while it is held
        elsewhere when `wait`. Returns the hold (anything but None, handed
        back to release), or None when it must not wait and the name is
        held; a lock offering "fencing" returns Fenced(hold, token). Raises
        on any other failure."""
        raise NotImplementedError

    def release(self, name, hold):
        """Gives back `hold`, the name's hold taken by this thread."""
        raise NotImplementedError

    def thread_ended(self, holds):
        """Thread end: `holds` (name -> hold) are dropped after this."""

    def child_release(self, name, hold):
        """In a forked child: gives back the inherited `hold` as a child
        that inherited it would."""
        self.release(name, hold)

    def child_acquire(self, name):
        """In a forked child: asks for `name` without waiting (a hold, or
        None when busy)."""
        return self.acquire(name, False)

    def spawn(self, name, hold):
        """While `hold` of `name` is held: starts a child process that
        lives SPAWN_SECONDS and returns its Popen."""
        return subprocess.Popen(["sleep", SPAWN_SECONDS],
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL)


def parse(line, offers):
    """Reads a request line. Returns (thread, verb, words, error): `thread`
    is None when no thread number can be read; `words` end with the
    instance (1 or 2) but for "end"; `error`, when not None, is the failure
    to answer ("bad-request", "unknown-request")."""
    words = line.split()
    if len(words) < 2 or not _THREAD.match(words[1]):
        return None, None, (), "bad-request"
    verb, thread, rest = words[0], words[1], words[2:]
    if verb not in REQUESTS or REQUESTS[verb][1] not in (None, *offers):
        return thread, verb, (), "unknown-request"
    shape = REQUESTS[verb][0]
    instance = 1
    if shape and "instances" in offers and len(rest) == len(shape) + 1:
        if not _INSTANCE.match(rest[-1]):
            return thread, verb, (), "bad-request"
        instance = int(rest.pop())
    if len(rest) != len(shape) or not all(
            _WORD[kind].match(word) for kind, word in zip(shape, rest)):
        return thread, verb, (), "bad-request"
    return thread, verb, (*rest, instance) if shape else (), None


class _Thread:
    """One run thread: a Python thread answering its requests in order."""

    def __init__(self, kit, number):
        self.kit = kit
        self.number = number
        # instance -> name -> hold; used by this thread alone
        self.holds = {1: {}, 2: {}}
        self.requests = queue.Queue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            verb, words = self.requests.get()
            if verb is None:  # the end of input
                self._give_back()
                return
            try:
                text = getattr(self, "_" + verb.replace("-", "_"))(*words)
            except Exception as error:  # the library's failure, named
                text = "failed " + type(error).__name__
            self.kit.answer(self.number, text)
            if verb == "end":
                return

    def _acquire(self, name, mode, instance):
        holds = self.holds[instance]
        if name in holds:
            return "failed deadlock"
        hold = self.kit.locks[instance].acquire(name, mode == "wait")
        if hold is None:
            return "busy"
        if isinstance(hold, Fenced):
            holds[name] = hold.hold
            return f"ok {int(hold.token)}"
        holds[name] = hold
        return "done"

    def _release(self, name, instance):
        holds = self.holds[instance]
        if name not in holds:
            return "failed not-held"
        self.kit.locks[instance].release(name, holds.pop(name))
        return "done"

    def _end(self):
        try:
            for instance, holds in self.holds.items():
                self.kit.locks[instance].thread_ended(holds)
        finally:
            for holds in self.holds.values():
                holds.clear()
        return "done"

    def _spawn(self, name, instance):
        holds = self.holds[instance]
        if name not in holds:
            return "failed not-held"
        self.kit.spawned(self.kit.locks[instance].spawn(name, holds[name]))
        return "done"

    def _fork(self, name, instance):
        lock = self.kit.locks[instance]
        holds = self.holds[instance]
        read_end, write_end = os.pipe()
        try:
            pid = os.fork()
        except OSError:
            os.close(read_end)
            os.close(write_end)
            raise
        if pid == 0:
            try:
                os.close(read_end)
                release = "not-held"
                if name in holds:
                    release = _outcome(
                        lambda: lock.child_release(name, holds[name]),
                        False)
                acquire = _outcome(lambda: lock.child_acquire(name), True)
                os.write(write_end, f"{release} {acquire}".encode())
            finally:
                os._exit(0)
        os.close(write_end)
        self.kit.children_started(pid)
        try:
            text = _read_until_end(read_end, FORK_DEADLINE_S)
        finally:
            os.close(read_end)
            self.kit.children_ended(pid)
        return "forked " + (text if len(text.split()) == 2 else
                            "no-answer no-answer")

    def _open_close(self, name, instance):
        helper = threading.Thread(target=_open_read_close,
                                  args=(self.kit.locks[instance].folder,))
        helper.start()
        helper.join()
        return "done"

    def _give_back(self):
        for instance, holds in self.holds.items():
            for name, hold in list(holds.items()):
                try:
                    self.kit.locks[instance].release(name, hold)
                except Exception:
                    pass  # the process exits next: the kernel has the last
            holds.clear()


def _open_read_close(folder):
    """Opens, reads a little of and closes every regular file of `folder`.
    A file gone meanwhile, or one that cannot be opened, is passed over."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for entry in names:
        try:
            fd = os.open(os.path.join(folder, entry),
                         os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                os.read(fd, 64)
        except OSError:
            pass
        finally:
            os.close(fd)


def _outcome(call, taking):
    """A forked child's result of `call`: "done", "busy" (a take that
    returned None) or the exception's name."""
    try:
        result = call()
        return "busy" if taking and result is None else "done"
    except Exception as error:
        return type(error).__name__


def _read_until_end(fd, seconds):
    """What arrives on `fd` until its writer closes it; "" after `seconds`."""
    deadline = time.monotonic() + seconds
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    data = b""
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not poller.poll(remaining * 1000):
            return ""
        chunk = os.read(fd, 256)
        if not chunk:
            return data.decode("ascii", "replace")
        data += chunk


class _Kit:
    def __init__(self, locks):
        self.locks = locks  # instance -> Lock
        self.offers = locks[1].offers
        self.out = threading.Lock()  # one answer line at a time
        # Mutex rules: `children_lock` guards `children` and `popens`.
        self.children_lock = threading.Lock()
        self.children = set()  # forked children not yet reaped
        self.popens = []  # spawned children not yet reaped

    def answer(self, thread, text):
        self.write(f"{thread} {text}")

    def write(self, line):
        data = (line + "\n").encode()
        with self.out:
            try:
                while data:
                    data = data[os.write(1, data):]
            except OSError:
                os._exit(1)  # the run stopped reading: nobody to answer

    def children_started(self, pid):
        with self.children_lock:
            self.children.add(pid)

    def children_ended(self, pid):
        """Reaps `pid`, killed first when it is still running. The kill and
        the reaping happen under one lock with the exit's kill, so no kill
        reaches a reaped child's number."""
        with self.children_lock:
            try:
                if os.waitpid(pid, os.WNOHANG) == (0, 0):
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
            finally:
                self.children.discard(pid)

    def spawned(self, popen):
        """Keeps `popen` to be reaped, and reaps those that have ended."""
        with self.children_lock:
            self.popens = [p for p in self.popens if p.poll() is None]
            self.popens.append(popen)

    def serve(self):
        threads = {}
        for raw in sys.stdin.buffer:
            thread, verb, words, error = parse(
                raw.decode("ascii", "replace"), self.offers)
            if error is not None:
                self.answer("?" if thread is None else thread,
                            "failed " + error)
            elif verb == "end" and thread not in threads:
                self.answer(thread, "done")  # it never asked: nothing held
            else:
                if thread not in threads:
                    try:
                        threads[thread] = _Thread(self, thread)
                    except RuntimeError as failure:  # no thread to be had
                        self.answer(thread,
                                    "failed " + type(failure).__name__)
                        continue
                served = (threads.pop(thread) if verb == "end" else
                          threads[thread])
                served.requests.put((verb, words))
        for served in threads.values():
            served.requests.put((None, ()))
        deadline = time.monotonic() + CLOSE_DEADLINE_S
        for served in threads.values():
            served.thread.join(max(0.0, deadline - time.monotonic()))
        with self.children_lock:
            for pid in self.children:
                os.kill(pid, signal.SIGKILL)
            for popen in self.popens:
                if popen.poll() is None:
                    popen.kill()
        os._exit(0)


def run(lock_class, missing=None, lease_ms=None):
    """Serves the protocol until the end of standard input with
    lock_class(FOLDER) as the lock (a second one as instance 2), FOLDER
    being the last argument; greets "missing MISSING" instead when
    `missing` is given. `lease_ms`, a positive whole number, is the lock's
    lease, said in the greeting. Never returns."""
    if missing is not None:
        sys.stdout.write(f"wendlemoor-adapter {VERSION} missing {missing}\n")
        sys.stdout.flush()
        os._exit(0)
    if len(sys.argv) < 2:
        sys.stderr.write(f"usage: {sys.argv[0]} LOCK_FOLDER\n")
        os._exit(2)
    # Ctrl-C ends the process at once; the kernel frees what it held.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    # Forking a process with threads is what the fork request asks for.
    warnings.filterwarnings("ignore", category=DeprecationWarning,
                            message=".*fork")
    folder = sys.argv[-1]
    kit = _Kit({1: lock_class(folder), 2: lock_class(folder)})
    lease = () if lease_ms is None else (f"lease={int(lease_ms)}",)
    kit.write(" ".join(("wendlemoor-adapter", str(VERSION),
                        *lock_class.offers, *lease)))
    kit.serve()
