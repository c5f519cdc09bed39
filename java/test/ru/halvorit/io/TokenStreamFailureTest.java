package ru.halvorit.io;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.ByteArrayOutputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.Modifier;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** What the streams throw when a token file cannot be read or written, and their loose ends. */
class TokenStreamFailureTest {
  @TempDir Path tmp;

  @Test
  void readFailuresSayWhy() throws IOException {
    String missing = tmp.resolve("missing").toString();
    FileNotFoundException nf = assertThrows(FileNotFoundException.class, () -> new TokenFileInputStream(missing));
    assertEquals(missing + " (No such file or directory)", nf.getMessage());

    String folder = tmp.toString();
    IOException dir = assertThrows(IOException.class, () -> new TokenFileInputStream(folder));
    assertFalse(dir instanceof FileNotFoundException, dir.toString());
    assertTrue(dir instanceof FileSystemException, dir.toString());
    assertEquals(folder, ((FileSystemException) dir).getFile());
    assertEquals("Is a directory", ((FileSystemException) dir).getReason());
  }

  @Test
  void writeFailuresSayWhy() throws IOException {
    Path file = tmp.resolve("plain");
    Files.write(file, new byte[] {1});
    String under = file.resolve("x").toString();
    TokenFileOutputStream out = new TokenFileOutputStream(under);
    out.write(7);
    FileSystemException e = assertThrows(FileSystemException.class, out::close);
    assertEquals(under, e.getFile());
    assertEquals("Not a directory", e.getReason());
  }

  @Test
  void deniedAccessIsAccessDenied() throws IOException {
    Path secret = tmp.resolve("secret");
    Files.write(secret, new byte[] {1, 2, 3});
    Files.setPosixFilePermissions(secret, PosixFilePermissions.fromString("---------"));
    Path locked = tmp.resolve("locked");
    Files.createDirectory(locked, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("r-x------")));
    try {
      assumeFalse(Files.isReadable(secret), "permissions do not bind this user (root)");
      AccessDeniedException r =
          assertThrows(AccessDeniedException.class, () -> new TokenFileInputStream(secret.toString()));
      assertEquals("Permission denied", r.getReason());
      TokenFileOutputStream out = new TokenFileOutputStream(locked.resolve("f").toString());
      out.write(1);
      assertThrows(AccessDeniedException.class, out::close);
    } finally {
      Files.setPosixFilePermissions(secret, PosixFilePermissions.fromString("rw-------"));
      Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("rwx------"));
    }
  }

  @Test
  void thePasswordCallbackIsNotPublic() throws NoSuchMethodException {
    for (Class<?> c : new Class<?>[] {TokenFile.class, TokenFileInputStream.class, TokenFileOutputStream.class}) {
      int mods = c.getDeclaredMethod("callback").getModifiers();
      assertFalse(Modifier.isPublic(mods) || Modifier.isProtected(mods), c.getName());
    }
  }

  private static void writeWithoutClosing(String path) throws IOException {
    @SuppressWarnings("resource")
    TokenFileOutputStream out = new TokenFileOutputStream(path);
    out.write(new byte[] {1, 2, 3});
  }

  @Test
  void anUnclosedStreamWarnsWhenCollected() throws Exception {
    String path = tmp.resolve("never").toString();
    ByteArrayOutputStream captured = new ByteArrayOutputStream();
    PrintStream saved = System.err;
    System.setErr(new PrintStream(captured, true, StandardCharsets.UTF_8));
    try {
      writeWithoutClosing(path);
      String want = "ru.halvorit.io.TokenFileOutputStream: " + path + " was never closed; its 3 bytes were not written";
      for (int i = 0; i < 200 && !captured.toString(StandardCharsets.UTF_8).contains(want); i++) {
        System.gc();
        Thread.sleep(50);
      }
      assertTrue(captured.toString(StandardCharsets.UTF_8).contains(want), captured.toString(StandardCharsets.UTF_8));
    } finally {
      System.setErr(saved);
    }
    assertFalse(Files.exists(tmp.resolve("never")));
  }

  @Test
  void aClosedStreamDoesNotWarn() throws Exception {
    String path = tmp.resolve("closed").toString();
    ByteArrayOutputStream captured = new ByteArrayOutputStream();
    PrintStream saved = System.err;
    System.setErr(new PrintStream(captured, true, StandardCharsets.UTF_8));
    try {
      try (TokenFileOutputStream out = new TokenFileOutputStream(path)) {
        out.write(5);
      }
      System.gc();
      Thread.sleep(100);
      assertFalse(captured.toString(StandardCharsets.UTF_8).contains("never closed"));
    } finally {
      System.setErr(saved);
    }
    assertTrue(Files.exists(tmp.resolve("closed")));
  }
}
