package ru.halvorit.nativetest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** What the write entry points hand back to the virtual machine: the data array's elements. */
class WriteReleaseTest {
  private static final int JNI_ABORT = 2;

  @TempDir Path tmp;

  @ParameterizedTest
  @ValueSource(booleans = {true, false})
  void theCopyOfTheWrittenBytesIsWipedAndNotCopiedBack(boolean privateFile) throws Exception {
    String library = Path.of(System.getProperty("java.library.path"), "libjarnel.so").toString();
    byte[] key = new byte[64];
    Arrays.fill(key, (byte) 'K');
    Path file = tmp.resolve("key.bin");

    int[] seen = NativeShim.writeAndWatchRelease(library, privateFile, new Object(), file.toString(), key);

    assertEquals(64, seen[0], "result");
    assertEquals(1, seen[1], "release calls");
    assertEquals(JNI_ABORT, seen[2], "release mode");
    assertEquals(1, seen[3], "the released elements are zeros");
    // The caller's array and the file keep the bytes.
    byte[] expected = new byte[64];
    Arrays.fill(expected, (byte) 'K');
    assertArrayEquals(expected, key);
    assertArrayEquals(expected, Files.readAllBytes(file));
    NativeShim.drainErrors();
  }
}
