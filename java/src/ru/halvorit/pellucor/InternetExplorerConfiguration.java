package ru.halvorit.pellucor;

/**
 * Points the current user's Internet Explorer proxy settings, for the LAN connection and every
 * dial-up connection, at one HTTP proxy, and puts the previous settings back.
 *
 * <p>The previous settings are kept in the native library for the life of the process. While a
 * change is in force, further calls of {@link #changeSettings} do nothing; after {@link
 * #restoreSettings} the next change saves the settings afresh. Nothing is reported: a call that
 * cannot be carried out leaves the settings as they are. The methods share one process-wide state
 * and must not be called concurrently.
 */
public class InternetExplorerConfiguration {
  static {
    System.loadLibrary("wenlofa");
  }

  /**
   * Sends HTTP traffic of every connection to {@code host:port}, keeping the other protocols'
   * proxies, and saves the settings it replaces.
   *
   * @param host proxy host name or address; a null host changes nothing
   * @param port proxy port
   */
  public native void changeSettings(String host, int port);

  /** Puts back the settings saved by the change in force; does nothing when none is. */
  public native void restoreSettings();
}
