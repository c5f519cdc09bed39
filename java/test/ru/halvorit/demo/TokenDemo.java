package ru.halvorit.demo;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.security.SecureRandom;
import java.util.Arrays;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

/**
 * Token files from Java on a local folder used as the key carrier: makes a directory, writes a
 * public and a private file, lists them, reads them back, deletes them, and says what it did.
 *
 * <p>Usage: {@code TokenDemo [FOLDER]}; without a folder it uses jarnel-demo-token in the
 * system's temporary directory. The folder is made when missing.
 */
public final class TokenDemo {
  private TokenDemo() {}

  private static void step(String what) {
    System.out.println("  " + what);
  }

  private static void check(boolean ok, String what) {
    if (!ok) throw new IllegalStateException("failed: " + what);
  }

  public static void main(String[] args) throws IOException {
    String folder = args.length > 0 ? args[0] : System.getProperty("java.io.tmpdir") + "/jarnel-demo-token";
    // A local folder never asks for a PIN; a token would ask the console.
    TokenFile.setDefaultPasswordSource(PasswordSource.console());

    TokenFile token = new TokenFile(folder);
    System.out.println("Java demo on the token folder " + token.getPath());
    check(token.mkdir(), "make the token folder");
    step("token folder is ready (present: " + token.isInserted() + ")");

    TokenFile dir = new TokenFile(token, "demo-keys");
    check(dir.mkdir(), "make " + dir);
    step("made directory " + dir + " (is a directory: " + dir.isDirectory() + ")");

    byte[] publicBytes = "This certificate request is public.\n".getBytes(StandardCharsets.UTF_8);
    byte[] privateBytes = new byte[1000];
    new SecureRandom().nextBytes(privateBytes);
    TokenFile publicFile = new TokenFile(dir, "request.txt");
    TokenFile privateFile = new TokenFile(dir, "secret.key");
    try (TokenFileOutputStream out = new TokenFileOutputStream(publicFile, false)) {
      out.write(publicBytes);
    }
    step("wrote public file " + publicFile.getName() + ", " + publicBytes.length + " bytes");
    try (TokenFileOutputStream out = new TokenFileOutputStream(privateFile, true)) {
      out.write(privateBytes);
    }
    step("wrote private file " + privateFile.getName() + ", " + privateBytes.length
        + " bytes (on a local folder a private file is an ordinary file)");

    String[] names = dir.list();
    check(names != null && names.length == 2, "list " + dir);
    step("listed " + dir.getName() + ": " + String.join(", ", names));

    for (TokenFile f : dir.listFiles()) {
      byte[] back;
      try (TokenFileInputStream in = new TokenFileInputStream(f)) {
        back = in.readAllBytes();
      }
      byte[] expected = f.equals(publicFile) ? publicBytes : privateBytes;
      check(Arrays.equals(back, expected), "read back " + f);
      step("read back " + f.getName() + ": " + back.length + " bytes, length() says " + f.length()
          + ", contents match");
      Arrays.fill(back, (byte) 0);
    }

    check(publicFile.delete() && !publicFile.exists(), "delete " + publicFile);
    step("deleted " + publicFile.getName() + " (overwritten with zeros first)");
    check(privateFile.delete() && !privateFile.exists(), "delete " + privateFile);
    step("deleted " + privateFile.getName() + " (overwritten with zeros first)");
    check(dir.delete() && !dir.exists(), "delete " + dir);
    step("removed directory " + dir.getName());
    Arrays.fill(privateBytes, (byte) 0);
    System.out.println("Java demo finished: every step succeeded.");
  }
}
