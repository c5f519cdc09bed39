package ru.halvorit.pellucor;

import java.nio.charset.StandardCharsets;

/**
 * Test access to the in-process Internet settings store that libwenlofa.so uses on Linux, through
 * the test-only library wenlofa_testshim. A null connection name is the LAN connection.
 */
final class ProxyStore {
  static {
    System.loadLibrary("wenlofa_testshim");
  }

  static final int FLAGS = 1;
  static final int PROXY_SERVER = 2;
  static final int PROXY_BYPASS = 3;
  static final int AUTOCONFIG_URL = 4;
  static final int AUTODISCOVERY_FLAGS = 5;

  private ProxyStore() {}

  static native void reset();

  static native void put(String name, String autoconfigUrl, int autodiscovery, int flags, String bypass, String server);

  static native byte[] text(String name, int option);

  static native int number(String name, int option);

  static native void failQueries(String name, boolean fail);

  static native String[] calls();

  /** A text option decoded as UTF-8 (the store's code page), or null when absent. */
  static String string(String name, int option) {
    byte[] bytes = text(name, option);
    return bytes == null ? null : new String(bytes, StandardCharsets.UTF_8);
  }

  static String server(String name) {
    return string(name, PROXY_SERVER);
  }
}
