package ru.halvorit.io;

import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Runs token-file calls in a JVM of its own so that a test can read what the native layer
 * prints on the standard error stream. Each scenario is preceded by a line "### name" on
 * standard error; problems of the probe itself go to standard output as "PROBE-FAILURE".
 *
 * <p>Usage: StderrProbe FOLDER SCENARIO...
 */
public final class StderrProbe {
  private StderrProbe() {}

  static final String[] SCENARIOS = {
    "read-missing", "read-null", "write-under-file", "private-write-under-file", "write-null-data",
    "write-null-path", "private-write-null-data", "private-write-null-path", "length-null",
    "delete-null", "delete-full-directory", "delete-socket", "exists-null", "is-file-null",
    "is-directory-null", "is-inserted-null", "mkdir-null", "mkdir-under-file", "list-null",
    "list-file", "list-long", "logout-null", "logout-rutoken", "successes", "threads",
  };

  private static void fail(String what) {
    System.out.println("PROBE-FAILURE " + what);
  }

  private static void expect(boolean ok, String what) {
    if (!ok) fail(what);
  }

  public static void main(String[] args) throws Exception {
    Path dir = Path.of(args[0]);
    Files.write(dir.resolve("file"), new byte[] {1, 2, 3});
    Files.createDirectories(dir.resolve("full/inside"));
    TokenFile t = new TokenFile(dir.toString());
    TokenFileOutputStream out = new TokenFileOutputStream(dir.resolve("out").toString());
    TokenFileInputStream in = new TokenFileInputStream(dir.resolve("file").toString());
    String file = dir.resolve("file").toString();
    byte[] data = {9, 8, 7};

    for (String name : Arrays.copyOfRange(args, 1, args.length)) {
      System.err.println("### " + name);
      System.err.flush();
      switch (name) {
        case "read-missing" -> expect(in.tokenFileRead(dir.resolve("missing.key").toString()) == null, name);
        case "read-null" -> expect(in.tokenFileRead(null) == null, name);
        case "write-under-file" -> expect(out.tokenFileWrite(file + "/x", data) == 0, name);
        case "private-write-under-file" -> expect(out.tokenPrivateFileWrite(file + "/x", data) == 0, name);
        case "write-null-data" -> expect(out.tokenFileWrite(dir.resolve("n").toString(), null) == 0, name);
        case "write-null-path" -> expect(out.tokenFileWrite(null, data) == 0, name);
        case "private-write-null-data" -> expect(out.tokenPrivateFileWrite(dir.resolve("n").toString(), null) == 0, name);
        case "private-write-null-path" -> expect(out.tokenPrivateFileWrite(null, data) == 0, name);
        case "length-null" -> expect(t.tokenFileLength(null) == 0, name);
        case "delete-null" -> expect(!t.tokenFileDelete(null), name);
        case "delete-full-directory" -> expect(!t.tokenFileDelete(dir.resolve("full").toString()), name);
        case "delete-socket" -> {
          Path sock = dir.resolve("sock");
          try (ServerSocketChannel ch = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            ch.bind(UnixDomainSocketAddress.of(sock));
            expect(!t.tokenFileDelete(sock.toString()), name);
          }
        }
        case "exists-null" -> expect(!t.tokenFileExists(null), name);
        case "is-file-null" -> expect(!t.tokenIsFile(null), name);
        case "is-directory-null" -> expect(!t.tokenIsDirectory(null), name);
        case "is-inserted-null" -> expect(!t.tokenIsInserted(null), name);
        case "mkdir-null" -> expect(!t.tokenMkdir(null), name);
        case "mkdir-under-file" -> expect(!t.tokenMkdir(file + "/sub/dir"), name);
        case "list-null" -> expect(t.tokenFileList(null) == null, name);
        case "list-file" -> expect(t.tokenFileList(file) == null, name);
        case "list-long" -> {
          Path deep = dir.resolve("d".repeat(120)).resolve("e".repeat(120)).resolve("f".repeat(60));
          Files.createDirectories(deep);
          expect(t.tokenFileList(deep.toString()) == null, name);
        }
        case "logout-null" -> expect(!t.tokenLogout(null), name);
        case "logout-rutoken" -> expect(!t.tokenLogout("ruToken:1001"), name);
        case "successes" -> successes(dir, t, out, in);
        case "threads" -> threads(dir);
        default -> fail("unknown scenario " + name);
      }
    }
    System.err.println("### end");
  }

  // Successful calls, and predicates that are simply false: nothing may be printed.
  private static void successes(Path dir, TokenFile t, TokenFileOutputStream out, TokenFileInputStream in) {
    String p = dir.resolve("ok/k.bin").toString();
    expect(out.tokenFileWrite(p, new byte[] {1, 2}) == 2, "write");
    expect(out.tokenPrivateFileWrite(p, new byte[] {1, 2, 3}) == 3, "private write");
    expect(in.tokenFileRead(p).length == 3, "read");
    expect(t.tokenFileLength(p) == 3, "length");
    expect(t.tokenFileLength(dir.resolve("missing").toString()) == -1, "length of missing");
    expect(t.tokenFileExists(p) && t.tokenIsFile(p), "exists");
    expect(!t.tokenFileExists(dir.resolve("missing").toString()), "missing does not exist");
    expect(!t.tokenIsDirectory(p) && !t.tokenIsFile(dir.resolve("missing").toString()), "predicates");
    expect(t.tokenIsInserted(p) && t.tokenLogout(p), "inserted, logout");
    expect(t.tokenFileList(dir.resolve("ok").toString()).length == 1, "list");
    expect(t.tokenMkdir(dir.resolve("ok/new").toString()), "mkdir");
    String[] none = t.tokenFileList(dir.resolve("ok/new").toString());
    expect(none != null && none.length == 0, "list of empty");
    expect(t.tokenFileDelete(dir.resolve("ok/new").toString()), "rmdir");
    expect(t.tokenFileDelete(p), "delete");
    expect(t.tokenFileDelete(p), "delete of missing");
    expect(out.tokenFileWrite(p, new byte[0]) == 0, "empty write");
  }

  // Four threads fail reading missing files while four others read and write their own files.
  private static void threads(Path dir) throws InterruptedException {
    AtomicInteger problems = new AtomicInteger();
    List<Thread> all = new ArrayList<>();
    for (int k = 0; k < 4; k++) {
      final int id = k;
      all.add(new Thread(() -> {
        for (int i = 0; i < 20; i++) {
          try {
            TokenFileInputStream r = new TokenFileInputStream(dir.resolve("file").toString());
            if (r.tokenFileRead(dir.resolve("missing-T" + id + "-" + i).toString()) != null) problems.incrementAndGet();
          } catch (IOException e) {
            problems.incrementAndGet();
          }
        }
      }));
      all.add(new Thread(() -> {
        String p = dir.resolve("t" + id + "/data.bin").toString();
        TokenFileOutputStream w = new TokenFileOutputStream(p);
        TokenFile f = new TokenFile(p);
        for (int i = 0; i < 20; i++) {
          byte[] bytes = new byte[100 + id * 1000 + i];
          Arrays.fill(bytes, (byte) (id + i));
          try {
            if (w.tokenFileWrite(p, bytes) != bytes.length) problems.incrementAndGet();
            TokenFileInputStream r = new TokenFileInputStream(p);
            if (!Arrays.equals(bytes, r.tokenFileRead(p))) problems.incrementAndGet();
            if (!f.tokenFileDelete(p) || f.tokenFileExists(p)) problems.incrementAndGet();
          } catch (IOException e) {
            problems.incrementAndGet();
          }
        }
      }));
    }
    for (Thread th : all) th.start();
    for (Thread th : all) th.join();
    expect(problems.get() == 0, "threads: " + problems.get() + " problems");
  }
}
