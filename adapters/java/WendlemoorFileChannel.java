// The wendlemoor-chaos adapter (docs/adapter-protocol.md) for Java's
// FileChannel locks (java.nio.channels.FileChannel.lock() and tryLock()), as
// their documentation tells a Java program to use them. adapters/java-
// filechannel starts it; the project's build compiles it into
// build/adapters/java-filechannel.jar.
//
// Usage: java -cp java-filechannel.jar WendlemoorFileChannel FOLDER
//
// FileLock's documentation: locks are "held on behalf of the entire Java
// virtual machine" and "are not suitable for controlling access to a file by
// multiple threads within the same virtual machine"; a second lock of the
// same file by the JVM throws OverlappingFileLockException, whichever thread
// or channel asks; "it is strongly recommended that, within a program, a
// unique channel be used to acquire all locks on any given file", since "on
// some systems, closing a channel releases all locks held by the Java
// virtual machine on the underlying file". So, for instance 1 (every
// request without an instance number):
//   - name N is the file FOLDER/N, opened (and made, with the folder, when
//     missing) as ONE FileChannel per name for the whole JVM at its first
//     use, and kept open;
//   - what the adapter adds: a ReentrantLock per name that the JVM's threads
//     take before the channel's lock (lock() to wait, tryLock() not to), so
//     a thread asking for a name another thread holds waits for it instead
//     of meeting OverlappingFileLockException; FileLock.release() and then
//     the ReentrantLock give it back.
// Instance 2 ("acquire T N wait 2") is a second lock object in the same
// JVM, written the other common way: a FileChannel of its own opened for
// each acquisition (try-with-resources) and closed at its release or when
// the lock was not had, beside a ReentrantLock of its own. Its channel is a
// SECOND channel on the same file, and its close is the one the
// documentation warns of.
//
// Each run thread T is a Java thread, fed by a queue. The adapter keeps the
// misuse answers (a thread's held names: asking again is "failed deadlock",
// giving back one not held "failed not-held"). "end T" ends T's thread: a
// ReentrantLock has no way to free the lock of a thread that ended, and the
// FileLock stays valid, so what T held stays held. OverlappingFileLockException
// ("already held by this Java virtual machine") is answered busy where the
// thread must not wait, and as a failure where it waits; any other exception
// is answered "failed" with its class's name. Java cannot fork. At the end of
// its input each thread gives back what it holds, for at most a second, and
// the JVM exits.
import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.UncheckedIOException;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import java.util.regex.Pattern;

public final class WendlemoorFileChannel {
  // The run kills an adapter 2 s after it closed its standard input.
  private static final long CLOSE_DEADLINE_MS = 1000;
  private static final Pattern NAME = Pattern.compile("[A-Za-z0-9-]+");
  private static final Pattern THREAD = Pattern.compile("[0-9]{1,9}");
  // The message of the kernel's EDEADLK, as the JDK words it.
  private static final String FALSE_DEADLOCK = "Resource deadlock avoided";

  private final Path folder;
  private final BufferedWriter out =
      new BufferedWriter(new OutputStreamWriter(System.out, StandardCharsets.US_ASCII));
  // One per name and instance, made at first use. Mutex rules: the map is
  // guarded by itself; a Name's channel (instance 1) by the Name's turn.
  private final Map<String, Name> names = new HashMap<>();

  /** A name of one instance: the threads' turn and instance 1's channel. */
  private static final class Name {
    final ReentrantLock turn = new ReentrantLock();
    FileChannel channel; // instance 1: opened once, kept
  }

  /** A hold: what its release gives back. */
  private static final class Hold {
    final Name name;
    final FileLock lock;
    final FileChannel closeAtRelease; // instance 2's own channel, else null

    Hold(Name name, FileLock lock, FileChannel closeAtRelease) {
      this.name = name;
      this.lock = lock;
      this.closeAtRelease = closeAtRelease;
    }
  }

  private WendlemoorFileChannel(Path folder) {
    this.folder = folder;
  }

  private void say(String line) {
    synchronized (out) {
      try {
        out.write(line);
        out.write('\n');
        out.flush();
      } catch (IOException e) {
        throw new UncheckedIOException(e); // the run has gone
      }
    }
  }

  private Name name(String name, int instance) {
    synchronized (names) {
      return names.computeIfAbsent(name + "/" + instance, k -> new Name());
    }
  }

  /** Opens FOLDER/name, making the folder again when a cleaner removed it. */
  private FileChannel open(String name) throws IOException {
    final Path path = folder.resolve(name);
    for (int attempt = 0; ; ++attempt) {
      try {
        return FileChannel.open(path, StandardOpenOption.CREATE, StandardOpenOption.WRITE,
            LinkOption.NOFOLLOW_LINKS);
      } catch (NoSuchFileException e) {
        if (attempt == 10) throw e;
        Files.createDirectories(folder);
      }
    }
  }

  /** The hold of `name`, or null when it must not wait and the name is held. */
  private Hold acquire(String name, int instance, boolean wait) throws Exception {
    final Name n = name(name, instance);
    if (wait) {
      n.turn.lock();
    } else if (!n.turn.tryLock()) {
      return null;
    }
    FileChannel own = null;
    Hold hold = null;
    try {
      final FileChannel channel;
      if (instance == 1) {
        if (n.channel == null) n.channel = open(name);
        channel = n.channel;
      } else {
        channel = own = open(name);
      }
      final FileLock lock = lock(channel, wait);
      if (lock != null) hold = new Hold(n, lock, own);
      return hold;
    } finally {
      if (hold == null) {
        try {
          if (own != null) own.close(); // instance 2 had no lock: its channel goes
        } finally {
          n.turn.unlock();
        }
      }
    }
  }

  /**
   * The channel's lock of the whole file, or null when it must not wait and
   * the file is locked, by another process or ("already held by this Java
   * virtual machine") by another channel of this JVM.
   *
   * <p>The lock is the kernel's record lock, whose deadlock check sees
   * processes, not threads: while one thread holds a name and another thread
   * of the JVM waits for a second name, a process waiting the other way round
   * is told "Resource deadlock avoided" (an IOException) though no thread
   * waits for itself. The wait then goes on after a short pause.
   */
  private static FileLock lock(FileChannel channel, boolean wait)
      throws IOException, InterruptedException {
    for (;;) {
      try {
        return wait ? channel.lock() : channel.tryLock();
      } catch (OverlappingFileLockException e) {
        if (wait) throw e;
        return null;
      } catch (IOException e) {
        if (!wait || !FALSE_DEADLOCK.equals(e.getMessage())) throw e;
        Thread.sleep(1);
      }
    }
  }

  private static void release(Hold hold) throws IOException {
    try {
      hold.lock.release();
      if (hold.closeAtRelease != null) hold.closeAtRelease.close();
    } finally {
      hold.name.turn.unlock();
    }
  }

  /** One run thread: its requests, in order, and its holds. */
  private final class RunThread extends Thread {
    final String number;
    final BlockingQueue<String[]> requests = new LinkedBlockingQueue<>();
    final Map<String, Hold> held = new HashMap<>();
    final CountDownLatch gaveBack = new CountDownLatch(1);

    RunThread(String number) {
      this.number = number;
      setDaemon(true);
    }

    @Override
    public void run() {
      try {
        for (;;) {
          final String[] r = requests.take();
          if (r.length == 0) break; // the end of the input
          if (r[0].equals("end")) {
            say(number + " done"); // ends holding: nothing is given back
            return;
          }
          say(number + " " + serve(r));
        }
        for (Hold hold : held.values()) release(hold);
      } catch (Exception e) {
        // Interrupted or the run gone: the JVM is ending.
      } finally {
        gaveBack.countDown();
      }
    }

    // r: verb, name, instance, and for acquire wait|nowait.
    private String serve(String[] r) {
      final int instance = Integer.parseInt(r[2]);
      final String key = r[1] + "/" + instance;
      try {
        if (r[0].equals("acquire")) {
          if (held.containsKey(key)) return "failed deadlock";
          final Hold hold = acquire(r[1], instance, r[3].equals("wait"));
          if (hold == null) return "busy";
          held.put(key, hold);
          return "done";
        }
        final Hold hold = held.remove(key);
        if (hold == null) return "failed not-held";
        release(hold);
        return "done";
      } catch (Exception e) {
        return "failed " + e.getClass().getSimpleName();
      }
    }
  }

  /**
   * The words of a request after its thread number, as verb, name,
   * instance[, mode]; null when they are wrong for the verb.
   */
  private static String[] parse(String[] words) {
    final String verb = words[0];
    final int want = verb.equals("acquire") ? 2 : verb.equals("release") ? 1 : 0;
    int count = words.length - 2;
    String instance = "1";
    if (want > 0 && count == want + 1) {
      instance = words[words.length - 1];
      if (!instance.equals("1") && !instance.equals("2")) return null;
      --count;
    }
    if (count != want) return null;
    if (want == 0) return new String[] {verb};
    if (!NAME.matcher(words[2]).matches()) return null;
    if (want == 1) return new String[] {verb, words[2], instance};
    if (!words[3].equals("wait") && !words[3].equals("nowait")) return null;
    return new String[] {verb, words[2], instance, words[3]};
  }

  private void run() throws IOException, InterruptedException {
    say("wendlemoor-adapter 1 threads thread-end misuse instances");
    final Map<String, RunThread> threads = new HashMap<>();
    final BufferedReader in =
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));
    for (String line; (line = in.readLine()) != null; ) {
      final String[] words = line.trim().split(" +");
      if (words.length < 2 || !THREAD.matcher(words[1]).matches()) {
        say("? failed bad-request");
        continue;
      }
      final String t = words[1];
      if (!words[0].equals("acquire") && !words[0].equals("release")
          && !words[0].equals("end")) {
        say(t + " failed unknown-request");
        continue;
      }
      final String[] request = parse(words);
      if (request == null) {
        say(t + " failed bad-request");
        continue;
      }
      RunThread thread = threads.get(t);
      if (thread == null) {
        thread = new RunThread(t);
        threads.put(t, thread);
        thread.start();
      } else if (!thread.isAlive() && thread.gaveBack.getCount() == 0) {
        say(t + " failed ended");
        continue;
      }
      thread.requests.add(request);
    }
    // The end of the input: each thread gives back what it holds; one inside
    // a waiting lock() may never come back.
    final long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(CLOSE_DEADLINE_MS);
    for (RunThread thread : threads.values()) thread.requests.add(new String[0]);
    for (RunThread thread : threads.values()) {
      final long left = deadline - System.nanoTime();
      if (left <= 0 || !thread.gaveBack.await(left, TimeUnit.NANOSECONDS)) break;
    }
    System.exit(0);
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: java WendlemoorFileChannel FOLDER");
      System.exit(2);
    }
    new WendlemoorFileChannel(Path.of(args[0])).run();
  }
}
