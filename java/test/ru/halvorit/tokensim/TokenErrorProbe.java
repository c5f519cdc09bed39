package ru.halvorit.tokensim;

import java.io.IOException;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFileInputStream;

/** Child JVM of SimulatedTokenTest: reads args[0] with the PIN args[1]; exit 3 when it failed. */
public final class TokenErrorProbe {
  public static void main(String[] args) {
    try (TokenFileInputStream in =
        new TokenFileInputStream(args[0], PasswordSource.of(args[1].toCharArray()))) {
      in.readAllBytes();
    } catch (IOException e) {
      System.exit(3);
    }
    System.exit(0);
  }
}
