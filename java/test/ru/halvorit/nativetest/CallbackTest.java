package ru.halvorit.nativetest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class CallbackTest {
  /** A Java object that answers the native password call-back. */
  static final class Source {
    private final char[] password;

    Source(String password) {
      this.password = password == null ? null : password.toCharArray();
    }

    public char[] callback() {
      return password == null ? null : password.clone();
    }
  }

  /** Hands out the same array every time. */
  static final class Shared {
    final char[] password = "s3cret".toCharArray();

    public char[] callback() {
      return password;
    }
  }

  /** Keeps every array it hands out, to look at them afterwards. */
  static final class Recording {
    final String password;
    final List<char[]> handedOut = new ArrayList<>();

    Recording(String password) {
      this.password = password;
    }

    public char[] callback() {
      char[] a = password.toCharArray();
      handedOut.add(a);
      return a;
    }
  }

  /** Has no callback() at all. */
  static final class Mute {}

  static final class Throwing {
    public char[] callback() {
      throw new IllegalStateException("no password today");
    }
  }

  /** Records what setError receives. */
  static final class Target {
    final List<Integer> codes = new ArrayList<>();

    public void setError(int code) {
      codes.add(code);
    }
  }

  @BeforeEach
  void emptyQueue() {
    NativeShim.drainErrors();
  }

  @ParameterizedTest(name = "{0} with buffer {1}")
  @CsvSource({
    "abc, 16, abc",
    "abc, 3, abc",
    "abc, 2, ab",
    "пароль, 64, пароль",
    "ключ€, 64, ключ€",
    "'', 16, ''",
  })
  void passwordArrivesAsUtf8WithoutTerminator(String password, int size, String expected) {
    byte[] got = NativeShim.passwd(new Source(password), size);
    byte[] want = expected.getBytes(StandardCharsets.UTF_8);
    assertArrayEquals(want, got);
    assertEquals("", NativeShim.drainErrors());
  }

  @Test
  void nonAsciiCharacterIsCutAtTheBufferSize() {
    // "я" is two UTF-8 bytes; a 3-byte buffer takes "a" and both bytes, a 2-byte one cuts it.
    assertArrayEquals(new byte[] {'a', (byte) 0xD1, (byte) 0x8F}, NativeShim.passwd(new Source("aя"), 3));
    assertArrayEquals(new byte[] {'a', (byte) 0xD1}, NativeShim.passwd(new Source("aя"), 2));
  }

  @Test
  void supplementaryCharacterIsOneFourByteSequence() {
    String s = new String(Character.toChars(0x1F511));
    assertArrayEquals(s.getBytes(StandardCharsets.UTF_8), NativeShim.passwd(new Source(s), 8));
  }

  @Test
  void theHandedOverArrayIsWipedOnceRead() {
    // The array callback() returns is consumed: after the call it holds only zeros, so a source
    // that hands out one shared array has nothing of the password left to give the second time.
    Shared shared = new Shared();
    assertArrayEquals("s3cret".getBytes(StandardCharsets.UTF_8), NativeShim.passwd(shared, 16));
    assertArrayEquals(new char[6], shared.password);
    assertArrayEquals(new byte[6], NativeShim.passwd(shared, 16));
    // Also when the buffer takes only part of it, and for text outside ASCII.
    Shared cut = new Shared();
    assertEquals(2, NativeShim.passwd(cut, 2).length);
    assertArrayEquals(new char[6], cut.password);
    Recording rec = new Recording("пароль");
    NativeShim.passwd(rec, 64);
    assertArrayEquals(new char[6], rec.handedOut.get(0));
  }

  @Test
  void tokenFileSourcesHandOutFreshCopiesSoEveryAskSucceeds() {
    // PasswordSource.of keeps its own copy and gives a fresh array each time: the native side
    // wipes each one, yet the next ask gets the PIN again, and the caller's array is untouched.
    char[] pin = "1234".toCharArray();
    ru.halvorit.io.TokenFile file =
        new ru.halvorit.io.TokenFile("ruToken:1001\\keys", ru.halvorit.io.PasswordSource.of(pin));
    for (int i = 0; i < 2; i++) {
      assertArrayEquals("1234".getBytes(StandardCharsets.UTF_8), NativeShim.passwd(file, 16));
    }
    assertArrayEquals("1234".toCharArray(), pin);
  }

  @Test
  void zeroSizedBufferReceivesNothing() {
    assertEquals(0, NativeShim.passwd(new Source("abc"), 0).length);
  }

  @Test
  void missingCallbackRecordsTheJniError() {
    assertEquals(0, NativeShim.passwd(new Mute(), 16).length);
    String errors = NativeShim.drainErrors();
    assertTrue(errors.matches("\\d+:error:5506700C::lib\\(85\\) :token_passwd_callback:internal error:"
        + "\\.\\.\\\\\\.\\.\\\\crypto\\\\jarnel\\\\jarnel:\\d+:\\n"), errors);
  }

  @Test
  void nullPasswordAndThrowingCallbackFailCleanly() {
    for (Object source : new Object[] {new Source(null), new Throwing()}) {
      assertEquals(0, NativeShim.passwd(source, 16).length);
      String errors = NativeShim.drainErrors();
      assertTrue(errors.contains(":token_passwd_callback:internal error:"), errors);
      assertEquals(1, errors.lines().count(), errors);
    }
  }

  @Test
  void unpairedSurrogateIsRefused() {
    assertEquals(0, NativeShim.passwd(new Source("a\uD800b"), 16).length);
    assertTrue(NativeShim.drainErrors().contains(":token_passwd_callback:internal error:"));
  }

  @Test
  void setErrorReceivesTheCodeOrFive() {
    Target t = new Target();
    NativeShim.setError(t, 0x6A82);
    NativeShim.setError(t, 0);
    assertEquals(List.of(0x6A82, 5), t.codes);
  }

  @Test
  void keyStoreFrameReportsFailuresThroughSetError() {
    Target t = new Target();
    byte[] data = {1, 2, 3};
    assertEquals(3003, NativeShim.keyStoreFrame(t, 0, "abc", data));
    assertEquals(List.of(), t.codes);
    assertEquals(0, NativeShim.keyStoreFrame(t, 1, "abc", data));  // the token error goes to Java
    assertEquals(0, NativeShim.keyStoreFrame(t, 2, "abc", data));  // none: 5
    assertEquals(0, NativeShim.keyStoreFrame(t, 3, "abc", data));  // no exception reaches Java
    assertEquals(0, NativeShim.keyStoreFrame(t, 0, null, data));  // a missing argument fails
    assertEquals(List.of(0x71, 5, 5, 5), t.codes);
    assertArrayEquals(new byte[] {1, 2, 3}, data);
    // Every call printed and emptied its queue, token error included.
    assertEquals("", NativeShim.drainErrors());
    assertEquals(3003, NativeShim.keyStoreFrame(t, 0, "abc", data));
    assertEquals(List.of(0x71, 5, 5, 5), t.codes);
  }

  @Test
  void objectWithoutSetErrorIsLeftAlone() {
    NativeShim.setError(new Mute(), 7);
    NativeShim.setError(null, 7);
    assertEquals("", NativeShim.drainErrors());
  }
}
