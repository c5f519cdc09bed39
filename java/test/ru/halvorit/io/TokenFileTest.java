package ru.halvorit.io;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The native methods on a local folder used as the token, and the Java API around them. */
class TokenFileTest {
  @TempDir Path tmp;

  private String p(String rel) {
    return tmp.resolve(rel).toString();
  }

  private static TokenFile tf(String path) {
    return new TokenFile(path);
  }

  private static TokenFileInputStream reader() throws IOException {
    // Any object will do to call the native method; build one over an empty file.
    Path empty = Files.createTempFile("jarnel-io", ".empty");
    try {
      return new TokenFileInputStream(empty.toString());
    } finally {
      Files.delete(empty);
    }
  }

  @Test
  void readOfAnEmptyFileIsAnEmptyArray() throws IOException {
    Files.write(tmp.resolve("empty"), new byte[0]);
    byte[] got = reader().tokenFileRead(p("empty"));
    assertNotNull(got);
    assertEquals(0, got.length);
  }

  @Test
  void writeReturnsTheLengthOrZero() throws IOException {
    TokenFileOutputStream out = new TokenFileOutputStream(p("x"));
    byte[] data = "0123456789".getBytes(StandardCharsets.US_ASCII);
    assertEquals(10, out.tokenFileWrite(p("deep/er/x.bin"), data));
    assertArrayEquals(data, Files.readAllBytes(tmp.resolve("deep/er/x.bin")));
    assertEquals(10, out.tokenPrivateFileWrite(p("priv.bin"), data));
    assertArrayEquals(data, Files.readAllBytes(tmp.resolve("priv.bin")));
    assertEquals(0, out.tokenFileWrite(p("empty.bin"), new byte[0]));
    assertEquals(0, Files.size(tmp.resolve("empty.bin")));
    // Failures: a file where a directory should be, no data, no path.
    assertEquals(0, out.tokenFileWrite(p("priv.bin/inner"), data));
    assertEquals(0, out.tokenPrivateFileWrite(p("priv.bin/inner"), data));
    assertEquals(0, out.tokenFileWrite(p("none"), null));
    assertEquals(0, out.tokenFileWrite(null, data));
    assertFalse(Files.exists(tmp.resolve("none")));
  }

  @Test
  void lengthIsTheSizeOrMinusOne() throws IOException {
    Files.write(tmp.resolve("f"), new byte[1234]);
    TokenFile t = tf(p("f"));
    assertEquals(1234L, t.tokenFileLength(p("f")));
    assertEquals(-1L, t.tokenFileLength(p("missing")));
    assertEquals(0L, t.tokenFileLength(null));
    assertEquals(1234L, t.length());
    assertEquals(0L, tf(p("missing")).length());
  }

  @Test
  void predicates() throws IOException {
    Files.createDirectory(tmp.resolve("d"));
    Files.write(tmp.resolve("f"), new byte[] {1});
    TokenFile t = tf(p("f"));
    assertTrue(t.tokenFileExists(p("f")) && t.tokenFileExists(p("d")));
    assertFalse(t.tokenFileExists(p("missing")));
    assertTrue(t.tokenIsFile(p("f")));
    assertFalse(t.tokenIsFile(p("d")));
    assertTrue(t.tokenIsDirectory(p("d")));
    assertFalse(t.tokenIsDirectory(p("f")));
    assertTrue(t.tokenIsInserted(p("f")));
    assertTrue(t.tokenLogout(p("f")));
    for (String nothing : new String[] {null}) {
      assertFalse(t.tokenFileExists(nothing));
      assertFalse(t.tokenIsFile(nothing));
      assertFalse(t.tokenIsDirectory(nothing));
      assertFalse(t.tokenIsInserted(nothing));
      assertFalse(t.tokenLogout(nothing));
    }
    // Carriers whose vendor library is not present here.
    assertFalse(t.tokenIsInserted("ruToken:1001"));
    assertFalse(t.tokenLogout("eToken:1001"));
    assertTrue(t.tokenIsInserted("iButton:\\KEYS"));
  }

  @Test
  void listGivesBareNamesWithDirectoriesOrNull() throws IOException {
    Files.createDirectories(tmp.resolve("tok/sub"));
    Files.createDirectories(tmp.resolve("tok/empty"));
    Files.write(tmp.resolve("tok/b.key"), new byte[] {1});
    Files.write(tmp.resolve("tok/a.key"), new byte[] {1});
    Files.write(tmp.resolve("tok/sub/inner"), new byte[] {1});
    TokenFile t = tf(p("tok"));
    assertArrayEquals(new String[] {"a.key", "b.key", "empty", "sub"}, t.tokenFileList(p("tok")));
    assertNull(t.tokenFileList(p("tok") + "/*.key"));  // only a directory is listed
    assertArrayEquals(new String[0], t.tokenFileList(p("tok/empty")));
    assertNull(t.tokenFileList(p("tok/a.key")));
    assertNull(t.tokenFileList(p("missing")));
    assertNull(t.tokenFileList(null));
    // The Java API: an empty directory is an empty array, a file has no list.
    assertArrayEquals(new String[0], tf(p("tok/empty")).list());
    assertNull(tf(p("tok/a.key")).list());
    TokenFile[] files = t.listFiles();
    assertEquals(4, files.length);
    assertEquals(p("tok") + "/sub", files[3].getPath());
    assertTrue(files[3].isDirectory());
  }

  @Test
  void listingFailuresAreNullNotAnEmptyFolder() throws IOException {
    // A folder whose own path is 260 characters or more, and one whose entry makes the full
    // path that long: both exist and are directories, but cannot be listed.
    Path longDir = tmp.resolve("a".repeat(120)).resolve("b".repeat(120)).resolve("c".repeat(40));
    Files.createDirectories(longDir);
    assertTrue(longDir.toString().length() >= 260);
    assertTrue(tf(longDir.toString()).isDirectory());
    assertNull(tf(longDir.toString()).list());
    assertNull(tf(longDir.toString()).listFiles());

    Path nearDir = tmp.resolve("d".repeat(250 - tmp.toString().length()));
    Files.createDirectories(nearDir.resolve("e".repeat(20)));
    assertTrue(nearDir.toString().length() < 260);
    assertNull(tf(nearDir.toString()).list());
    assertNull(tf(nearDir.toString()).listFiles());
  }

  @Test
  void emptyWriteOverAFileItCannotWriteThrowsAndKeepsTheFile() throws IOException {
    // A directory in the way: the write cannot happen, and close() says so.
    Files.createDirectories(tmp.resolve("dir.bin"));
    assertThrows(IOException.class, () -> new TokenFileOutputStream(p("dir.bin")).close());
    // An empty write that succeeds leaves an empty file, also over an older one.
    Files.write(tmp.resolve("old.bin"), "abc".getBytes(StandardCharsets.US_ASCII));
    new TokenFileOutputStream(p("old.bin")).close();
    assertEquals(0, Files.size(tmp.resolve("old.bin")));
    new TokenFileOutputStream(p("new.bin"), true).close();
    assertTrue(Files.isRegularFile(tmp.resolve("new.bin")));
    // A read-only file is refused only to a user without the right to override it; that case
    // runs in UnprivilegedTest.
  }

  @Test
  void namesThatAreNotAsciiSurviveTheListing() throws IOException {
    String[] names = {"ключ.key", "\uD83D\uDD11.bin", "naïve"};
    Files.createDirectory(tmp.resolve("u"));
    for (String n : names) Files.write(tmp.resolve("u").resolve(n), new byte[] {1});
    String[] got = tf(p("u")).list();
    Arrays.sort(got);
    String[] want = names.clone();
    Arrays.sort(want);
    assertArrayEquals(want, got);
    for (String n : names) assertTrue(tf(p("u/" + n)).isFile(), n);
  }

  @Test
  void deleteErasesAFileWithZerosAndRemovesADirectory() throws IOException {
    byte[] secret = new byte[5000];
    Arrays.fill(secret, (byte) 'S');
    Path f = tmp.resolve("secret.key");
    Files.write(f, secret);
    Path witness = tmp.resolve("witness");
    Files.createLink(witness, f);  // the same file under a second name
    assertTrue(tf(f.toString()).delete());
    assertFalse(Files.exists(f));
    assertArrayEquals(new byte[5000], Files.readAllBytes(witness));

    Files.createDirectory(tmp.resolve("dir"));
    assertTrue(tf(p("dir")).delete());
    assertFalse(Files.exists(tmp.resolve("dir")));

    Files.createDirectories(tmp.resolve("full/inside"));
    assertFalse(tf(p("full")).delete());  // not empty: stays
    assertTrue(Files.isDirectory(tmp.resolve("full/inside")));
    assertTrue(tf(p("never")).delete());  // nothing to erase
    assertFalse(tf(p("x")).tokenFileDelete(null));
  }

  @Test
  void mkdirLeavesTheDirectoryExisting() throws IOException {
    TokenFile nested = tf(p("a/b/c"));
    assertTrue(nested.mkdir());
    assertTrue(Files.isDirectory(tmp.resolve("a/b/c")));
    assertTrue(nested.mkdir());  // already there
    assertTrue(nested.mkdirs());
    Files.write(tmp.resolve("file"), new byte[] {1});
    assertFalse(tf(p("file")).mkdir());
    assertFalse(tf(p("file/sub")).mkdir());
    assertFalse(nested.tokenMkdir(null));
  }

  @Test
  void pathsOf259CharactersWorkAnd260Fail() throws IOException {
    String base = tmp.toString() + "/";
    String ok = base + "p".repeat(259 - base.length());
    String refused = base + "q".repeat(260 - base.length());
    byte[] data = {1, 2, 3};
    TokenFileOutputStream out = new TokenFileOutputStream(ok);
    assertEquals(3, out.tokenFileWrite(ok, data));
    assertArrayEquals(data, reader().tokenFileRead(ok));
    assertEquals(0, out.tokenFileWrite(refused, data));
    assertNull(reader().tokenFileRead(refused));
    assertFalse(Files.exists(Path.of(refused)));
  }

  @Test
  void streamsRoundTripPublicAndPrivateFiles() throws IOException {
    byte[] data = new byte[70000];
    for (int i = 0; i < data.length; i++) data[i] = (byte) (i * 31);
    for (boolean priv : new boolean[] {false, true}) {
      String path = p(priv ? "dir/private.key" : "dir/public.txt");
      try (TokenFileOutputStream out = new TokenFileOutputStream(path, priv)) {
        out.write(data, 0, 100);
        out.write(data[100]);
        out.write(data, 101, data.length - 101);
        assertFalse(Files.exists(Path.of(path)));  // written when closed
      }
      try (TokenFileInputStream in = new TokenFileInputStream(path)) {
        assertEquals(data.length, in.available());
        assertEquals(data[0] & 0xFF, in.read());
        assertEquals(10, in.skip(10));
        byte[] rest = in.readAllBytes();
        assertArrayEquals(Arrays.copyOfRange(data, 11, data.length), rest);
        assertEquals(-1, in.read());
      }
    }
    assertArrayEquals(data, TokenFileInputStream.readAll(p("dir/public.txt")));
    TokenFileOutputStream.writeAll(p("dir/empty"), new byte[0], false);
    assertEquals(0, TokenFileInputStream.readAll(p("dir/empty")).length);
  }

  @Test
  void streamFailuresAreExceptions() throws IOException {
    assertThrows(FileNotFoundException.class, () -> new TokenFileInputStream(p("missing")));
    Files.write(tmp.resolve("file"), new byte[] {1});
    TokenFileOutputStream out = new TokenFileOutputStream(p("file/below"));
    out.write(1);
    assertThrows(IOException.class, out::close);
    TokenFileOutputStream empty = new TokenFileOutputStream(p("file/empty-below"));
    assertThrows(IOException.class, empty::close);
    assertThrows(IOException.class, () -> out.write(2));  // closed
    TokenFileInputStream in = new TokenFileInputStream(p("file"));
    in.close();
    assertThrows(IOException.class, in::read);
  }

  @Test
  void callbackAsksThePasswordSource() throws IOException {
    char[] pin = {'1', '2', '3', '4'};
    TokenFile t = new TokenFile(p("f"), PasswordSource.of(pin));
    assertArrayEquals(pin, t.callback());
    char[] first = t.callback();
    PasswordSource.wipe(first);
    assertArrayEquals(pin, t.callback());  // each answer is a fresh copy
    TokenFile child = new TokenFile(t, "child");
    assertArrayEquals(pin, child.callback());

    String[] asked = new String[1];
    PasswordSource recording = path -> {
      asked[0] = path;
      return "pw".toCharArray();
    };
    PasswordSource old = TokenFile.getDefaultPasswordSource();
    try {
      TokenFile.setDefaultPasswordSource(recording);
      Files.write(tmp.resolve("f"), new byte[] {1});
      assertArrayEquals("pw".toCharArray(), new TokenFileInputStream(p("f")).callback());
      assertEquals(p("f"), asked[0]);
      assertArrayEquals("pw".toCharArray(), new TokenFileOutputStream(p("g")).callback());
      assertEquals(p("g"), asked[0]);
      TokenFile.setDefaultPasswordSource(null);
      assertNull(new TokenFile(p("h")).callback());
    } finally {
      TokenFile.setDefaultPasswordSource(old);
    }
  }

  @Test
  void pathParts() {
    TokenFile t = new TokenFile("ruToken:1001\\2002");
    assertEquals("2002", t.getName());
    assertEquals("ruToken:1001", t.getParent());
    assertEquals("/tmp/x/y", new TokenFile("/tmp/x", "y").getPath());
    assertEquals("/tmp/x/y", new TokenFile("/tmp/x/", "y").getPath());
    assertEquals("/", new TokenFile("/k").getParent());
    assertNull(new TokenFile("k").getParent());
    assertEquals(new TokenFile("a/b"), new TokenFile("a", "b"));
  }
}
