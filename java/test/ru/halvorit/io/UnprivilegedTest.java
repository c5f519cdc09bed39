package ru.halvorit.io;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * A folder that cannot be read and a file that cannot be written, as a user whom the system
 * holds to the permissions: the calls run in a child JVM (UnprivilegedProbe), as user nobody
 * when these tests run as root.
 */
class UnprivilegedTest {
  private Path tmp;

  @AfterEach
  void cleanUp() throws Exception {
    if (tmp == null) return;
    Files.setPosixFilePermissions(tmp.resolve("locked"), PosixFilePermissions.fromString("rwx------"));
    try (var walk = Files.walk(tmp)) {
      walk.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
    }
  }

  private static String location(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
  }

  @Test
  void unreadableFolderIsAFailureAndAnEmptyWriteOverAReadOnlyFileThrows() throws Exception {
    boolean root = "root".equals(System.getProperty("user.name"));
    Path setpriv = Path.of("/usr/bin/setpriv");
    assumeTrue(!root || Files.isExecutable(setpriv),
        "running as root without /usr/bin/setpriv: cannot drop to an unprivileged user");

    tmp = Files.createTempDirectory("jarnel-unpriv");
    Files.setPosixFilePermissions(tmp, PosixFilePermissions.fromString("rwxr-xr-x"));
    Path locked = Files.createDirectory(tmp.resolve("locked"));
    Files.write(locked.resolve("a.key"), new byte[] {1});
    Files.write(locked.resolve("b.key"), new byte[] {2});
    Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("---------"));
    Path ro = tmp.resolve("ro.bin");
    Files.write(ro, "abc".getBytes(StandardCharsets.US_ASCII));
    Files.setPosixFilePermissions(ro, PosixFilePermissions.fromString("r--r--r--"));

    String javaBin = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    String cp = location(UnprivilegedProbe.class) + java.io.File.pathSeparator + location(TokenFile.class);
    List<String> cmd = new ArrayList<>();
    if (root) cmd.addAll(List.of(setpriv.toString(), "--reuid=nobody", "--regid=nogroup", "--clear-groups"));
    cmd.addAll(List.of(javaBin, "-XX:-UsePerfData", "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp", cp,
        UnprivilegedProbe.class.getName(), tmp.toString()));
    Path out = Files.createTempFile("jarnel-unpriv", ".out");
    Path err = Files.createTempFile("jarnel-unpriv", ".err");
    try {
      ProcessBuilder pb = new ProcessBuilder(cmd).redirectOutput(out.toFile()).redirectError(err.toFile());
      pb.directory(tmp.toFile());
      Process p = pb.start();
      assertTrue(p.waitFor(120, TimeUnit.SECONDS), "probe did not finish");
      String stdout = Files.readString(out, StandardCharsets.UTF_8);
      String stderr = Files.readString(err, StandardCharsets.UTF_8);
      assertEquals(0, p.exitValue(), "probe failed:\n" + stdout + stderr);
      Map<String, String> got = new HashMap<>();
      for (String line : stdout.split("\n")) {
        int eq = line.indexOf('=');
        if (eq > 0) got.put(line.substring(0, eq), line.substring(eq + 1));
      }
      // The folder exists, but its listing fails: null, as java.io.File.list() on an I/O error,
      // with the system's reason on standard error.
      assertEquals("true", got.get("isDirectory"), stdout);
      assertEquals("null", got.get("list"), stdout + stderr);
      assertEquals("null", got.get("listFiles"), stdout);
      assertEquals("null", got.get("native"), stdout);
      assertTrue(stderr.contains(":system library:opendir:Permission denied:")
          && stderr.contains("opendir('" + tmp.resolve("locked") + "')"), stderr);
      assertTrue(stderr.contains(":tokenFileList:internal error:"), stderr);
      // The read-only file keeps "abc", and close() says the write failed.
      assertEquals("threw,abc", got.get("emptyWrite"), stdout + stderr);
      assertEquals("threw,abc", got.get("emptyWritePrivate"), stdout + stderr);
      assertTrue(stderr.contains("Permission denied"), stderr);
    } finally {
      Files.deleteIfExists(out);
      Files.deleteIfExists(err);
    }
  }
}
