// The Node kit for wendlemoor-chaos adapters (docs/adapter-protocol.md),
// with nothing but Node's own modules (CommonJS, Node 18 and later).
//
// The kit speaks the whole protocol on standard input and output; an adapter
// supplies only its lock calls, as a subclass of Lock, and hands the class to
// run(). An adapter in adapters/ finds the kit beside it:
//
//   const kit = require(require('path').join(__dirname, 'kit',
//                                            'wendlemoor-adapter.js'));
//   class MyLock extends kit.Lock {
//     async acquire(name, wait) { ... }  // a hold, or null: busy
//     async release(name, hold) { ... }
//   }
//   kit.run(MyLock);
//
// Node runs an adapter's code in one thread, so a run thread is not a thread
// here: each run thread T is a chain of promises of its own, and T's requests
// run one after the other on it while other threads' chains go on. A lock
// call therefore must not block: a waiting acquire awaits (a timer, a
// callback) between its tries, and then blocks T alone. Node cannot fork its
// process, so the greeting offers "threads thread-end misuse instances
// spawn open-close" and never "fork".
//
// What the kit does for every adapter:
// - Greets with the protocol version, Lock.offers and the lease run() is
//   given ("lease=MS"), or with "missing WHAT" when run() is told what is
//   not installed; then it exits.
// - Makes two Lock objects, instances 1 and 2: a request ending in "2" goes
//   to the second, one without an instance or ending in "1" to the first.
//   A lock with no second object in one process leaves "instances" out of
//   its offers.
// - Keeps the misuse bookkeeping: each thread's holds per instance (name ->
//   hold). Taking a name the thread holds through that instance is answered
//   "failed deadlock", giving back one it does not hold there "failed
//   not-held"; the lock never sees either.
// - "end T": calls each instance's Lock.threadEnded with T's holds there,
//   then drops them. Nothing in Node frees a hold when a chain of promises
//   ends: a lock whose holds stay held keeps the default, which does
//   nothing.
// - "open-close T NAME": while T holds NAME, the lock folder's regular files,
//   NAME's among them, are opened, read and closed by Node's file-system
//   threads, as a backup inside the same program would; then "T done". The
//   lock is not called.
// - "spawn T NAME": while T holds NAME, Lock.spawn starts a child that lives
//   SPAWN_SECONDS, by default `sleep` through child_process.spawn, as a Node
//   program starts one; answered "done" once it runs. Children still
//   running at the exit are killed.
// - A lock that gives fencing tokens has "fencing" in its offers and
//   resolves acquire to new Fenced(hold, token): the grant is answered "ok
//   TOKEN", and `hold` alone is kept and handed back.
// - A thrown error is answered "failed" with its code (ENOENT, ...) or,
//   without one, its name.
// - A lock that learns later that a hold was taken from it (a callback of
//   the library) sets the hold's `compromised` property: the thread's next
//   request other than "end" is then answered "failed compromised" instead
//   of being run, and the hold is dropped.
// - A request that does not parse is answered at once: "T failed
//   bad-request" (wrong words after a known verb), "T failed
//   unknown-request" (a verb this adapter does not offer), and "? failed
//   bad-request" where no thread number can be read, which the run takes
//   for garbage.
// - At the end of standard input every thread gives back what it holds
//   (Lock.release) once its last request is done; the kit waits for that at
//   most CLOSE_DEADLINE_MS, since a waiting acquire may never come back, and
//   exits. A waiting acquire that succeeds meanwhile gives its name back at
//   once.
'use strict';

const childProcess = require('child_process');
const fs = require('fs');
const path = require('path');

const VERSION = 1;
// The run kills an adapter 2 s after it closed its standard input.
const CLOSE_DEADLINE_MS = 1000;
// How long a spawned child lives (the protocol asks for 1 to 2 s).
const SPAWN_SECONDS = '1.5';

// The words after the thread number, by verb, and the greeting word that
// offers the verb (null: always understood). A request is a row here and a
// method of Thread named for its verb; all but "end" may end with an
// instance where the adapter offers "instances".
const REQUESTS = {
  acquire: [['name', 'mode'], null],
  release: [['name'], null],
  end: [[], 'thread-end'],
  'open-close': [['name'], 'open-close'],
  spawn: [['name'], 'spawn'],
};
const WORD = {name: /^[A-Za-z0-9-]+$/, mode: /^(no)?wait$/};
const INSTANCE = /^[12]$/;
const THREAD = /^[0-9]{1,9}$/;

// A grant with its fencing token: `hold` as acquire would resolve to it,
// `token` a whole number from 0 to 2^64 - 1 (a BigInt beyond 2^53) that
// grows with every grant of the name.
class Fenced {
  constructor(hold, token) {
    this.hold = hold;
    this.token = token;
  }
}

// An adapter's lock. Subclasses write acquire and release; the rest has
// defaults. `folder` is the run's lock folder, which a cleaner may remove at
// any time between holds.
class Lock {
  constructor(folder) {
    this.folder = folder;
  }

  // FOLDER/NAME (the folder is not created).
  path(name) {
    return path.join(this.folder, name);
  }

  // Takes `name` for the calling run thread, waiting while it is held
  // elsewhere when `wait`. Resolves to the hold (anything but null or
  // undefined, handed back to release), or null when it must not wait and
  // the name is held; a lock offering "fencing" resolves to new
  // Fenced(hold, token). Rejects on any other failure.
  async acquire(name, wait) {
    throw new Error('acquire is not written');
  }

  // Gives back `hold`, the name's hold taken by this run thread.
  async release(name, hold) {
    throw new Error('release is not written');
  }

  // Thread end: `holds` (a Map, name -> hold) are dropped after this.
  async threadEnded(holds) {}

  // While `hold` of `name` is held: starts a child process that lives
  // SPAWN_SECONDS. Resolves to the child once it runs.
  spawn(name, hold) {
    return new Promise((resolve, reject) => {
      const child = childProcess.spawn(
          'sleep', [SPAWN_SECONDS], {stdio: ['ignore', 'ignore', 'inherit']});
      child.once('spawn', () => resolve(child));
      child.once('error', reject);
    });
  }
}
Lock.offers =
    ['threads', 'thread-end', 'misuse', 'instances', 'spawn', 'open-close'];

// Reads a request line. Returns {thread, verb, words, error}: `thread` is
// null when no thread number can be read; `words` end with the instance (1
// or 2) but for "end"; `error`, when not null, is the failure to answer
// ("bad-request", "unknown-request").
function parse(line, offers) {
  const words = line.split(/\s+/).filter((word) => word !== '');
  if (words.length < 2 || !THREAD.test(words[1])) {
    return {thread: null, verb: null, words: [], error: 'bad-request'};
  }
  const [verb, thread, ...rest] = words;
  const request = Object.prototype.hasOwnProperty.call(REQUESTS, verb) ?
      REQUESTS[verb] : null;
  if (request === null ||
      (request[1] !== null && !offers.includes(request[1]))) {
    return {thread, verb, words: [], error: 'unknown-request'};
  }
  const shape = request[0];
  let instance = 1;
  if (shape.length > 0 && offers.includes('instances') &&
      rest.length === shape.length + 1) {
    const word = rest.pop();
    if (!INSTANCE.test(word)) {
      return {thread, verb, words: [], error: 'bad-request'};
    }
    instance = Number(word);
  }
  if (rest.length !== shape.length ||
      !shape.every((kind, i) => WORD[kind].test(rest[i]))) {
    return {thread, verb, words: [], error: 'bad-request'};
  }
  return {thread, verb, words: shape.length > 0 ? [...rest, instance] : [],
          error: null};
}

// A failure's one-word reason.
function reasonOf(error) {
  const reason = String((error && (error.code || error.name)) || 'Error');
  return reason.replace(/\s+/g, '-');
}

// Opens, reads a little of and closes every regular file of `folder`. A
// file gone meanwhile, or one that cannot be opened, is passed over.
async function openReadClose(folder) {
  let entries;
  try {
    entries = await fs.promises.readdir(folder);
  } catch (error) {
    return;
  }
  const flags = fs.constants.O_RDONLY | fs.constants.O_NOFOLLOW |
      fs.constants.O_NONBLOCK;
  for (const entry of entries) {
    let file;
    try {
      file = await fs.promises.open(path.join(folder, entry), flags);
    } catch (error) {
      continue;
    }
    try {
      if ((await file.stat()).isFile()) {
        await file.read(Buffer.alloc(64), 0, 64, 0);
      }
    } catch (error) {
      // Passed over, as a file that could not be opened.
    } finally {
      await file.close();
    }
  }
}

// One run thread: its holds and the chain its requests run on.
class Thread {
  constructor(kit, number) {
    this.kit = kit;
    this.number = number;
    this.holds = new Map([[1, new Map()], [2, new Map()]]);  // by instance
    this.tail = Promise.resolve();
  }

  // Runs `verb` after the thread's earlier requests and answers it.
  queue(verb, words) {
    this.tail = this.tail.then(async () => {
      let text;
      try {
        text = this.lost(verb) || await this[verb](...words);
      } catch (error) {
        text = 'failed ' + reasonOf(error);
      }
      this.kit.answer(this.number, text);
    });
  }

  // "failed compromised" once for a hold the lock lost, else null.
  lost(verb) {
    if (verb === 'end') return null;
    for (const holds of this.holds.values()) {
      for (const [name, hold] of holds) {
        if (hold !== null && typeof hold === 'object' && hold.compromised) {
          holds.delete(name);
          return 'failed compromised';
        }
      }
    }
    return null;
  }

  async acquire(name, mode, instance) {
    const holds = this.holds.get(instance);
    if (holds.has(name)) return 'failed deadlock';
    const hold = await this.kit.locks[instance].acquire(name, mode === 'wait');
    if (hold === null || hold === undefined) return 'busy';
    const fenced = hold instanceof Fenced;
    holds.set(name, fenced ? hold.hold : hold);
    if (this.kit.closing) await this.giveBack();
    return fenced ? `ok ${BigInt(hold.token)}` : 'done';
  }

  async release(name, instance) {
    const holds = this.holds.get(instance);
    if (!holds.has(name)) return 'failed not-held';
    const hold = holds.get(name);
    holds.delete(name);
    await this.kit.locks[instance].release(name, hold);
    return 'done';
  }

  async end() {
    try {
      for (const [instance, holds] of this.holds) {
        await this.kit.locks[instance].threadEnded(holds);
      }
    } finally {
      for (const holds of this.holds.values()) holds.clear();
    }
    return 'done';
  }

  async 'open-close'(name, instance) {
    await openReadClose(this.kit.locks[instance].folder);
    return 'done';
  }

  async spawn(name, instance) {
    const holds = this.holds.get(instance);
    if (!holds.has(name)) return 'failed not-held';
    this.kit.spawned(
        await this.kit.locks[instance].spawn(name, holds.get(name)));
    return 'done';
  }

  async giveBack() {
    for (const [instance, holds] of this.holds) {
      for (const [name, hold] of holds) {
        try {
          await this.kit.locks[instance].release(name, hold);
        } catch (error) {
          // The process exits next: nothing more can be done for this name.
        }
      }
      holds.clear();
    }
  }
}

class Kit {
  constructor(locks, offers) {
    this.locks = locks;  // by instance: {1: Lock, 2: Lock}
    this.offers = offers;
    this.threads = new Map();
    this.children = new Set();  // spawned children still running
    this.closing = false;
  }

  // Keeps `child` until it exits, to kill it at the exit if it has not.
  spawned(child) {
    this.children.add(child);
    child.once('exit', () => this.children.delete(child));
  }

  write(line) {
    // Writes to a pipe are synchronous on Linux: lines never interleave.
    process.stdout.write(line + '\n');
  }

  answer(thread, text) {
    this.write(`${thread} ${text}`);
  }

  request(line) {
    const {thread, verb, words, error} = parse(line, this.offers);
    if (error !== null) {
      this.answer(thread === null ? '?' : thread, 'failed ' + error);
      return;
    }
    let served = this.threads.get(thread);
    if (served === undefined) {
      if (verb === 'end') {
        this.answer(thread, 'done');  // it never asked: nothing held
        return;
      }
      served = new Thread(this, thread);
      this.threads.set(thread, served);
    }
    if (verb === 'end') this.threads.delete(thread);
    served.queue(verb, words);
  }

  close() {
    this.closing = true;
    const given = [...this.threads.values()].map(
        (served) => served.tail.then(() => served.giveBack()));
    const deadline = new Promise(
        (resolve) => setTimeout(resolve, CLOSE_DEADLINE_MS));
    Promise.race([Promise.all(given), deadline]).then(() => {
      for (const child of this.children) child.kill('SIGKILL');
      process.exit(0);
    });
  }

  serve() {
    let pending = '';
    process.stdin.on('data', (chunk) => {
      pending += chunk.toString('latin1');
      let newline;
      while ((newline = pending.indexOf('\n')) !== -1) {
        const line = pending.slice(0, newline);
        pending = pending.slice(newline + 1);
        this.request(line);
      }
    });
    process.stdin.on('end', () => this.close());
    process.stdin.on('error', () => this.close());
  }
}

// Serves the protocol until the end of standard input with new
// LockClass(FOLDER) as the lock (a second one as instance 2), FOLDER being
// the last argument; greets "missing MISSING" instead when `missing` is
// given. `leaseMs`, a positive whole number, is the lock's lease, said in
// the greeting.
function run(LockClass, missing = null, leaseMs = null) {
  // The run stopped reading: there is nobody left to answer.
  process.stdout.on('error', () => process.exit(1));
  if (missing !== null) {
    process.stdout.write(`wendlemoor-adapter ${VERSION} missing ${missing}\n`);
    process.exit(0);
  }
  if (process.argv.length < 3) {
    process.stderr.write(`usage: ${process.argv[1]} LOCK_FOLDER\n`);
    process.exit(2);
  }
  const offers = LockClass.offers;
  const folder = process.argv[process.argv.length - 1];
  const kit = new Kit({1: new LockClass(folder), 2: new LockClass(folder)},
                      offers);
  const lease = leaseMs === null ? [] : [`lease=${Math.trunc(leaseMs)}`];
  kit.write(['wendlemoor-adapter', VERSION, ...offers, ...lease].join(' '));
  kit.serve();
}

module.exports = {Fenced, Lock, run, parse, VERSION};
