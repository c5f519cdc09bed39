package ru.halvorit.crypto.rand;

/** The processor's time-stamp counter, read by the native library {@code ticklib}. */
public final class ReadTickCounter {
  static {
    System.loadLibrary("ticklib");
  }

  private ReadTickCounter() {}

  /**
   * Returns the time-stamp counter as it stands. The unsigned 64-bit count is passed unchanged,
   * so values of 2^63 and more read as negative. Calls on different processors need not be
   * ordered.
   *
   * @return the counter
   */
  public static native long rdtsc();
}
