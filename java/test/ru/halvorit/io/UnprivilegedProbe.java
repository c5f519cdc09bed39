package ru.halvorit.io;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Token-file calls that only a user without the right to override file permissions can see
 * fail; UnprivilegedTest runs it as such a user. Prints one "name=result" line per call on
 * standard output.
 *
 * <p>Usage: UnprivilegedProbe FOLDER, where FOLDER holds "locked" (a folder nobody may read,
 * with two key files) and "ro.bin" (a read-only file holding "abc").
 */
public final class UnprivilegedProbe {
  private UnprivilegedProbe() {}

  public static void main(String[] args) throws Exception {
    Path dir = Path.of(args[0]);
    String locked = dir.resolve("locked").toString();
    TokenFile lockedDir = new TokenFile(locked);
    System.out.println("isDirectory=" + lockedDir.isDirectory());
    String[] names = lockedDir.list();
    System.out.println("list=" + (names == null ? "null" : String.join(",", names)));
    System.out.println("listFiles=" + (lockedDir.listFiles() == null ? "null" : "array"));
    System.out.println("native=" + (lockedDir.tokenFileList(locked) == null ? "null" : "array"));
    String ro = dir.resolve("ro.bin").toString();
    for (boolean privateFile : new boolean[] {false, true}) {
      String result;
      try {
        new TokenFileOutputStream(ro, privateFile).close();
        result = "closed";
      } catch (IOException e) {
        result = "threw";
      }
      System.out.println("emptyWrite" + (privateFile ? "Private" : "") + "=" + result + ","
          + new String(Files.readAllBytes(dir.resolve("ro.bin")), "US-ASCII"));
    }
    System.out.flush();
  }
}
