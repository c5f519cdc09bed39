package ru.halvorit.io;

import java.io.Console;
import java.util.Arrays;

/**
 * Where a token file object gets the PIN when a carrier asks for one.
 *
 * <p>The native layer calls {@code callback()} on the calling {@link TokenFile},
 * {@link TokenFileInputStream} or {@link TokenFileOutputStream}; that method asks the object's
 * password source. Files on drives and local directories never ask.
 */
@FunctionalInterface
public interface PasswordSource {
  /**
   * The password for the carrier that holds {@code path}, or {@code null} when none is available
   * (the carrier operation then fails).
   *
   * <p>The returned array is handed over: the native layer reads it once and then fills it with
   * {@code '\0'} (its own copies are wiped too), so no copy of the PIN stays behind on either
   * side. Return a fresh array each time and keep no reference to it; a source that must answer
   * again keeps its own copy, as {@link #of(char[])} does.
   */
  char[] password(String path);

  /** Never has a password. */
  PasswordSource NONE = path -> null;

  /** Always the given password (copied now; each answer is a fresh copy). */
  static PasswordSource of(char[] password) {
    char[] kept = password.clone();
    return path -> kept.clone();
  }

  /** Asks on the console without echo; {@code null} when there is no console. */
  static PasswordSource console() {
    return path -> {
      Console c = System.console();
      return c == null ? null : c.readPassword("PIN for %s: ", path);
    };
  }

  /** Wipes a password array (for callers that take a password from a source themselves). */
  static void wipe(char[] password) {
    if (password != null) Arrays.fill(password, '\0');
  }
}
