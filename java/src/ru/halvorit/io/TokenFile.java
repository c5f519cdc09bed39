package ru.halvorit.io;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.util.Objects;

/**
 * A file or directory on a key carrier, named by a token path, in the manner of
 * {@link java.io.File}.
 *
 * <p>The beginning of a token path selects the carrier: a drive or directory path, or a path
 * that begins with "iButton", "ruToken", "eToken", "eTR2" or "pkcs11". Both '/' and '\' separate
 * components; a path has at most 259 characters. Failures are reported by the result value; the
 * native layer prints their reasons on the standard error stream.
 */
public class TokenFile {
  static {
    System.loadLibrary("jarnel");
  }

  private static volatile PasswordSource defaultPasswordSource = PasswordSource.NONE;

  private final String path;
  private final PasswordSource passwordSource;

  public TokenFile(String path) {
    this(path, (PasswordSource) null);
  }

  /** A token file whose carrier asks {@code passwordSource} for its PIN (null: the default). */
  public TokenFile(String path, PasswordSource passwordSource) {
    this.path = Objects.requireNonNull(path, "path");
    this.passwordSource = passwordSource;
  }

  public TokenFile(TokenFile parent, String child) {
    this(join(parent.path, child), parent.passwordSource);
  }

  public TokenFile(String parent, String child) {
    this(join(parent, child), (PasswordSource) null);
  }

  /** The password source of objects created without one. */
  public static void setDefaultPasswordSource(PasswordSource source) {
    defaultPasswordSource = source == null ? PasswordSource.NONE : source;
  }

  public static PasswordSource getDefaultPasswordSource() {
    return defaultPasswordSource;
  }

  static String join(String parent, String child) {
    Objects.requireNonNull(parent, "parent");
    Objects.requireNonNull(child, "child");
    if (parent.isEmpty() || parent.endsWith("/") || parent.endsWith("\\")) return parent + child;
    return parent + "/" + child;
  }

  static PasswordSource effective(PasswordSource source) {
    return source != null ? source : defaultPasswordSource;
  }

  public String getPath() {
    return path;
  }

  /** The last component of the path. */
  public String getName() {
    int cut = Math.max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    return path.substring(cut + 1);
  }

  /** The path without its last component, or null when it has only one. */
  public String getParent() {
    int cut = Math.max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    return cut <= 0 ? (cut == 0 ? path.substring(0, 1) : null) : path.substring(0, cut);
  }

  public PasswordSource getPasswordSource() {
    return effective(passwordSource);
  }

  public boolean exists() {
    return tokenFileExists(path);
  }

  public boolean isFile() {
    return tokenIsFile(path);
  }

  public boolean isDirectory() {
    return tokenIsDirectory(path);
  }

  /** True when the carrier of this path is present. */
  public boolean isInserted() {
    return tokenIsInserted(path);
  }

  /** The size in bytes; 0 when the file does not exist or its size cannot be determined. */
  public long length() {
    long n = tokenFileLength(path);
    return n < 0 ? 0L : n;
  }

  /**
   * Deletes the file or the (empty) directory. A file is overwritten with zeros before it is
   * deleted. True when it is gone.
   */
  public boolean delete() {
    return tokenFileDelete(path);
  }

  /**
   * Makes the directory, and any missing directory above it. True when the directory exists
   * afterwards (also when it existed before).
   */
  public boolean mkdir() {
    return tokenMkdir(path);
  }

  /** Same as {@link #mkdir()}: the carriers make missing parents in any case. */
  public boolean mkdirs() {
    return tokenMkdir(path);
  }

  /** Ends the carrier's login session. */
  public boolean logout() {
    return tokenLogout(path);
  }

  /**
   * The names in this directory (files and directories, without their path), in the order the
   * carrier reports them; an empty array for an empty directory; null when this is not a
   * directory or it cannot be listed (the reasons are on standard error), as
   * {@link java.io.File#list()} gives null on an I/O error.
   */
  public String[] list() {
    return tokenFileList(path);
  }

  /** The entries of this directory as token files; null as for {@link #list()}. */
  public TokenFile[] listFiles() {
    String[] names = list();
    if (names == null) return null;
    TokenFile[] files = new TokenFile[names.length];
    for (int i = 0; i < names.length; i++) files[i] = new TokenFile(this, names[i]);
    return files;
  }

  /**
   * Called by the native layer (only) when a carrier asks for the PIN; not part of the API. It
   * returns a fresh array from the password source, which the native layer wipes once read.
   */
  char[] callback() {
    return effective(passwordSource).password(path);
  }

  /**
   * The exception for a failed read or write of path, worded with the reason the library recorded
   * for this thread's last call (its error queue is printed on standard error as well): a
   * missing file is a {@link FileNotFoundException}, a denied access an
   * {@link AccessDeniedException}, anything else a {@link FileSystemException} with the reason.
   */
  static IOException failure(String path, String what) {
    String reason = tokenLastReason();
    int errno = tokenLastErrno();
    if (reason == null || reason.isEmpty()) reason = what;
    switch (errno) {
      case 2: // ENOENT
        return new FileNotFoundException(path + " (" + reason + ")");
      case 1: // EPERM
      case 13: // EACCES
        return new AccessDeniedException(path, null, reason);
      default:
        return new FileSystemException(path, null, reason);
    }
  }

  @Override
  public String toString() {
    return path;
  }

  @Override
  public boolean equals(Object o) {
    return o instanceof TokenFile && ((TokenFile) o).path.equals(path);
  }

  @Override
  public int hashCode() {
    return path.hashCode();
  }

  native long tokenFileLength(String path);

  native boolean tokenFileDelete(String path);

  native boolean tokenFileExists(String path);

  native boolean tokenIsFile(String path);

  native boolean tokenIsDirectory(String path);

  native boolean tokenIsInserted(String path);

  native boolean tokenMkdir(String path);

  native String[] tokenFileList(String path);

  native boolean tokenLogout(String path);

  static native String tokenLastReason();

  static native int tokenLastErrno();
}
