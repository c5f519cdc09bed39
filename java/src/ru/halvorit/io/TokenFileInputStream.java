package ru.halvorit.io;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import java.util.Objects;

/**
 * Reads a whole token file. The file is read from the carrier when the stream is created; the
 * stream then serves its bytes. Closing the stream wipes them.
 *
 * <p>A file that cannot be read throws from the constructor: {@link java.io.FileNotFoundException}
 * when it does not exist, {@link java.nio.file.AccessDeniedException} when reading is not
 * allowed, another {@link IOException} (a {@link java.nio.file.FileSystemException} naming the
 * path, for example "Is a directory") otherwise. The message carries the reason; the library's
 * full error queue is printed on standard error.
 */
public class TokenFileInputStream extends InputStream {
  static {
    System.loadLibrary("jarnel");
  }

  private final String path;
  private final PasswordSource passwordSource;
  private byte[] data;
  private int pos;
  private boolean closed;

  public TokenFileInputStream(String path) throws IOException {
    this(path, null);
  }

  public TokenFileInputStream(TokenFile file) throws IOException {
    this(file.getPath(), file.getPasswordSource());
  }

  /** Reads the file at path; a carrier that needs a PIN asks passwordSource (null: default). */
  public TokenFileInputStream(String path, PasswordSource passwordSource) throws IOException {
    this.path = Objects.requireNonNull(path, "path");
    this.passwordSource = passwordSource;
    byte[] bytes = tokenFileRead(path);
    if (bytes == null) throw TokenFile.failure(path, "cannot be read");
    this.data = bytes;
  }

  /** Reads the whole file at path. */
  public static byte[] readAll(String path) throws IOException {
    try (TokenFileInputStream in = new TokenFileInputStream(path)) {
      return in.readAllBytes();
    }
  }

  public String getPath() {
    return path;
  }

  private void ensureOpen() throws IOException {
    if (closed) throw new IOException("stream closed");
  }

  @Override
  public int read() throws IOException {
    ensureOpen();
    return pos < data.length ? (data[pos++] & 0xFF) : -1;
  }

  @Override
  public int read(byte[] b, int off, int len) throws IOException {
    Objects.checkFromIndexSize(off, len, b.length);
    ensureOpen();
    if (len == 0) return 0;
    if (pos >= data.length) return -1;
    int n = Math.min(len, data.length - pos);
    System.arraycopy(data, pos, b, off, n);
    pos += n;
    return n;
  }

  @Override
  public long skip(long n) throws IOException {
    ensureOpen();
    if (n <= 0) return 0;
    int k = (int) Math.min(n, data.length - pos);
    pos += k;
    return k;
  }

  @Override
  public int available() throws IOException {
    ensureOpen();
    return data.length - pos;
  }

  @Override
  public void close() {
    if (closed) return;
    closed = true;
    Arrays.fill(data, (byte) 0);
  }

  /**
   * Called by the native layer (only) when a carrier asks for the PIN; not part of the API. It
   * returns a fresh array from the password source, which the native layer wipes once read.
   */
  char[] callback() {
    return TokenFile.effective(passwordSource).password(path);
  }

  native byte[] tokenFileRead(String path);
}
