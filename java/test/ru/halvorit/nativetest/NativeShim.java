package ru.halvorit.nativetest;

/** Test-only bridge to the core's JNI helpers (libjarnel_testshim, never shipped). */
final class NativeShim {
  static {
    System.loadLibrary("jarnel_testshim");
  }

  private NativeShim() {}

  /** Runs the password call-back against {@code source} with a buffer of {@code size} bytes. */
  static native byte[] passwd(Object source, int size);

  /** Reports {@code code} to {@code target} the way a failed key-store call does. */
  static native void setError(Object target, int code);

  /**
   * Runs a key-store-like entry point in the common frame on target (mode 0 succeeds with
   * 1000 * s.length() + data.length, 1 fails with a token error of 0x71, 2 fails without one,
   * 3 throws inside the native body).
   */
  static native int keyStoreFrame(Object target, int mode, String s, byte[] data);

  /**
   * Calls the shipped library's tokenFileWrite or tokenPrivateFileWrite (library: its full
   * path) and watches how it hands the data array's elements back: {result, release calls,
   * release mode, 1 when the released elements were all zeros}.
   */
  static native int[] writeAndWatchRelease(
      String library, boolean privateFile, Object self, String path, byte[] data);

  /** The calling thread's error queue as printed lines; the queue is empty afterwards. */
  static native String drainErrors();
}
