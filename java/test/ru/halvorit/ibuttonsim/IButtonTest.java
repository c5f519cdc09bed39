package ru.halvorit.ibuttonsim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

/**
 * The token-file classes on a simulated iButton (an adapter and a device on LPT2, found by the
 * port search) and a simulated eToken R2, checked with jarnel-sim from another process.
 */
class IButtonTest {
  static final Sim ibutton = new Sim("ibutton");
  static final Sim etr2 = new Sim("etr2");
  static final byte[] DATA = "touch memory bytes".getBytes(StandardCharsets.US_ASCII);

  @BeforeEach
  void freshDevices() throws Exception {
    ibutton.run("reset");
    ibutton.run("insert", "LPT2");
    etr2.run("reset");
    etr2.run("insert", "2");
  }

  static void write(String path, byte[] data) throws IOException {
    try (TokenFileOutputStream out = new TokenFileOutputStream(path)) {
      out.write(data);
    }
  }

  static byte[] read(String path) throws IOException {
    try (TokenFileInputStream in = new TokenFileInputStream(path)) {
      return in.readAllBytes();
    }
  }

  @Test
  void filesAndDirectoriesOnAnIButton() throws Exception {
    write("iButton:\\keys\\rand.1", DATA);
    String dump = ibutton.run("dump", "LPT2");
    assertTrue(dump.contains("KEYS/rand.1 18"), dump);
    assertArrayEquals(DATA, read("iButton:/KEYS/RAND.001"));

    TokenFile file = new TokenFile("iButton:\\KEYS\\RAND.1");
    assertTrue(file.isFile());
    assertEquals(18, file.length());
    assertTrue(new TokenFile("iButton:\\KEYS").isDirectory());
    assertTrue(new TokenFile("iButton:\\NEW").mkdir());
    assertTrue(ibutton.run("dump", "LPT2").contains("NEW/ dir"));
    String[] root = new TokenFile("iButton:\\").list();
    Arrays.sort(root);
    assertArrayEquals(new String[] {"KEYS.127", "NEW.127"}, root);
    assertArrayEquals(new String[] {"rand.001"}, new TokenFile("iButton:\\KEYS").list());

    assertTrue(file.delete());
    assertFalse(ibutton.run("dump", "LPT2").contains("rand"));
    assertFalse(file.exists());
  }

  @Test
  void failuresReachJavaAsExceptions() throws Exception {
    ibutton.run("adapters");
    assertThrows(IOException.class, () -> write("iButton:\\F.1", DATA));
    ibutton.run("adapters", "LPT2");
    write("iButton:\\F.1", DATA);
    ibutton.run("remove", "LPT2");
    assertThrows(IOException.class, () -> read("iButton:\\F.1"));
    assertFalse(new TokenFile("iButton:\\F.1").exists());
  }

  @Test
  void filesOnAnEtokenR2() throws Exception {
    write("eTR2:\\aaaa\\0001", DATA);
    String dump = etr2.run("dump", "2");
    assertTrue(dump.contains("3f00/e007/aaaa/0001 18"), dump);
    assertArrayEquals(DATA, read("eTR2 2:/3f00/e007/aaaa/0001"));
    assertArrayEquals(new String[] {"0001"}, new TokenFile("eTR2:\\aaaa").list());
    assertTrue(new TokenFile("eTR2 2:").isInserted());
    assertFalse(new TokenFile("eTR2 3:").isInserted());
    assertTrue(new TokenFile("eTR2:\\aaaa\\0001").delete());
    assertFalse(etr2.run("dump", "2").contains("0001"));
  }
}
