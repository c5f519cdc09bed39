package ru.halvorit.tokensim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

/**
 * The token-file classes on a simulated ruToken: the PIN comes from the object's callback(),
 * the simulator's state is checked with jarnel-sim from another process, and every fault says
 * what stays on the token.
 */
class SimulatedTokenTest {
  static final String READER = "Aktiv Co. ruToken 0";
  static final String PIN = "12345678";
  static final Sim sim = new Sim("rutoken");
  static final byte[] SECRET = "private key bytes".getBytes(StandardCharsets.US_ASCII);

  @TempDir Path tmp;

  @BeforeEach
  void freshToken() throws Exception {
    sim.run("reset");
    sim.run("insert", READER);
  }

  static PasswordSource pin(String value) {
    return PasswordSource.of(value.toCharArray());
  }

  static void writePrivate(String path, byte[] data, PasswordSource source) throws IOException {
    try (TokenFileOutputStream out = new TokenFileOutputStream(path, true, source)) {
      out.write(data);
    }
  }

  static byte[] read(String path, PasswordSource source) throws IOException {
    try (TokenFileInputStream in = new TokenFileInputStream(path, source)) {
      return in.readAllBytes();
    }
  }

  @Test
  void privateFileRoundTripWithThePinFromCallback() throws Exception {
    AtomicInteger asked = new AtomicInteger();
    PasswordSource counting = path -> {
      asked.incrementAndGet();
      return PIN.toCharArray();
    };
    writePrivate("ruToken:1001/2002", SECRET, counting);
    assertTrue(asked.get() >= 1, "the PIN was asked for");
    assertTrue(sim.run("dump", READER).contains("f001/1001/2002 17 private"));

    TokenFile file = new TokenFile("ruToken:\\0000f001\\1001\\2002", counting);
    assertTrue(file.isFile());
    assertEquals(17, file.length());
    assertArrayEquals(SECRET, read(file.getPath(), counting));
    TokenFile dir = new TokenFile("ruToken:1001");
    assertTrue(dir.isDirectory());
    assertArrayEquals(new String[] {"2002"}, dir.list());
    assertTrue(new TokenFile("ruToken 0:").isInserted());

    assertTrue(file.delete());
    assertFalse(sim.run("dump", READER).contains("2002"));
    assertFalse(file.exists());
  }

  @Test
  void wrongPinFailsAndLeavesTheFile() throws Exception {
    writePrivate("ruToken:1001", SECRET, pin(PIN));
    IOException e = assertThrows(IOException.class,
        () -> writePrivate("ruToken:1001", new byte[] {1, 2, 3}, pin("0000")));
    assertTrue(e.getMessage().contains("ruToken:1001"));
    assertTrue(sim.run("dump", READER).contains("attempts left 9"));
    assertThrows(IOException.class, () -> read("ruToken:1001", pin("0000")));
    // The old file is whole: the rewrite stopped at its first call needing the login.
    assertArrayEquals(SECRET, read("ruToken:1001", pin(PIN)));
  }

  @Test
  void lockedPinRefusesEvenTheRightOneAndKeepsTheData() throws Exception {
    writePrivate("ruToken:1001", SECRET, pin(PIN));
    sim.run("pin", READER, PIN, "1");
    assertThrows(IOException.class, () -> read("ruToken:1001", pin("0000")));
    assertTrue(sim.run("dump", READER).contains("(locked)"));
    assertThrows(IOException.class, () -> read("ruToken:1001", pin(PIN)));
    assertTrue(sim.run("dump", READER).contains("f001/1001 17 private"));
  }

  @Test
  void removedTokenFailsAndTheOldFileReturnsWithIt() throws Exception {
    TokenFileOutputStream.writeAll("ruToken:1001", SECRET, false);
    sim.run("remove", READER);
    assertFalse(new TokenFile("ruToken:").isInserted());
    assertThrows(IOException.class, () -> TokenFileOutputStream.writeAll("ruToken:1001", new byte[] {9}, false));
    sim.run("insert", READER);
    assertArrayEquals(SECRET, TokenFileInputStream.readAll("ruToken:1001"));
  }

  @Test
  void failingContentWriteLeavesAZeroFilledFileOfTheNewLength() throws Exception {
    TokenFileOutputStream.writeAll("ruToken:1001", SECRET, false);
    // The first write of the rewrite zero-fills the old file; the second carries the contents.
    sim.run("fail", "rtlWriteFile", "2", "0x81116581");
    assertThrows(IOException.class, () -> TokenFileOutputStream.writeAll("ruToken:1001", new byte[] {1, 2, 3, 4}, false));
    assertArrayEquals(new byte[4], TokenFileInputStream.readAll("ruToken:1001"));
  }

  @Test
  void vendorStatusReachesStandardErrorAsTokenError() throws Exception {
    writePrivate("ruToken:1001", SECRET, pin(PIN));
    String javaBin = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    String cp = location(TokenErrorProbe.class) + java.io.File.pathSeparator + location(TokenFile.class);
    Path err = tmp.resolve("stderr.txt");
    Process p = new ProcessBuilder(List.of(javaBin, "-Xcheck:jni",
            "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp", cp,
            TokenErrorProbe.class.getName(), "ruToken:1001", "0000"))
        .redirectError(err.toFile()).redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
    assertTrue(p.waitFor(120, TimeUnit.SECONDS));
    String text = Files.readString(err, StandardCharsets.UTF_8);
    assertEquals(3, p.exitValue(), text);
    // The wrong PIN: ISO status 63C9 (nine attempts left) under the ruToken library's prefix.
    assertTrue(text.contains("token error: 0x811163c9\n"), text);
    assertTrue(text.contains(":login failed:"), text);
  }

  private static String location(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
  }
}
