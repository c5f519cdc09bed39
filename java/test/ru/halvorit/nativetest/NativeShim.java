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

  /** The calling thread's error queue as printed lines; the queue is empty afterwards. */
  static native String drainErrors();
}
