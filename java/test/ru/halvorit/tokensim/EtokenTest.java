package ru.halvorit.tokensim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

/** The token-file classes on a simulated eToken, the PIN from callback(). */
class EtokenTest {
  static final Sim sim = new Sim("etoken");

  @Test
  void privateFileInTheApplicationDirectory() throws Exception {
    sim.run("reset");
    sim.run("insert", "Aladdin Token JC 1");
    byte[] secret = "container".getBytes(StandardCharsets.US_ASCII);
    PasswordSource pin = PasswordSource.of("1234567890".toCharArray());
    try (TokenFileOutputStream out = new TokenFileOutputStream("Aladdin Token JC 1:a000/0001", true, pin)) {
      out.write(secret);
    }
    assertTrue(sim.run("dump", "Aladdin Token JC 1").contains("3f00\\e007/a000/0001 9 private"));
    try (TokenFileInputStream in = new TokenFileInputStream("eToken:\\3f00\\e007\\a000\\0001", pin)) {
      assertArrayEquals(secret, in.readAllBytes());
    }
    assertArrayEquals(new String[] {"0001"}, new TokenFile("eToken 1:a000").list());
    assertThrows(IOException.class,
        () -> new TokenFileInputStream("eToken:a000/0001", PasswordSource.of("0".toCharArray())).close());
    assertTrue(sim.run("dump", "Aladdin Token JC 1").contains("attempts left 14"));
  }
}
