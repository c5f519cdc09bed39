package ru.halvorit.io;

import java.io.IOException;
import java.io.OutputStream;
import java.lang.ref.Cleaner;
import java.util.Arrays;
import java.util.Objects;

/**
 * Writes a whole token file. The bytes are collected in memory and written to the carrier, as a
 * public or a private (PIN-protected) file, when the stream is closed; {@link #close()} throws
 * when the carrier did not accept them. Missing directories are made. The collected bytes are
 * wiped after the write.
 *
 * <p>Nothing reaches the carrier before {@link #close()}: use try-with-resources. A stream that
 * is garbage-collected without being closed writes nothing; it wipes its bytes and prints a
 * warning naming the path on standard error. A failed write throws an {@link IOException}
 * carrying the reason ({@link java.nio.file.AccessDeniedException} when writing is not allowed).
 */
public class TokenFileOutputStream extends OutputStream {
  static {
    System.loadLibrary("jarnel");
  }

  private final String path;
  private final boolean privateFile;
  private final PasswordSource passwordSource;
  private byte[] buf = new byte[256];
  private int count;
  private boolean closed;
  private final Unclosed unclosed;
  private final Cleaner.Cleanable cleanable;

  private static final Cleaner CLEANER = Cleaner.create();

  /** What a stream left unclosed still holds; runs when the stream is unreachable. */
  private static final class Unclosed implements Runnable {
    final String path;
    volatile byte[] buf;
    volatile int count;
    volatile boolean closed;

    Unclosed(String path, byte[] buf) {
      this.path = path;
      this.buf = buf;
    }

    @Override
    public void run() {
      if (closed) return;
      Arrays.fill(buf, (byte) 0);
      System.err.println("ru.halvorit.io.TokenFileOutputStream: " + path + " was never closed; its "
          + count + " bytes were not written");
    }
  }

  public TokenFileOutputStream(String path) {
    this(path, false, null);
  }

  public TokenFileOutputStream(String path, boolean privateFile) {
    this(path, privateFile, null);
  }

  public TokenFileOutputStream(TokenFile file, boolean privateFile) {
    this(file.getPath(), privateFile, file.getPasswordSource());
  }

  /**
   * A stream that writes path when closed; privateFile puts the file in the carrier's
   * PIN-protected area; a carrier that needs a PIN asks passwordSource (null: the default).
   */
  public TokenFileOutputStream(String path, boolean privateFile, PasswordSource passwordSource) {
    this.path = Objects.requireNonNull(path, "path");
    this.privateFile = privateFile;
    this.passwordSource = passwordSource;
    this.unclosed = new Unclosed(path, buf);
    this.cleanable = CLEANER.register(this, unclosed);
  }

  /** Writes data as the whole file at path. */
  public static void writeAll(String path, byte[] data, boolean privateFile) throws IOException {
    try (TokenFileOutputStream out = new TokenFileOutputStream(path, privateFile)) {
      out.write(data);
    }
  }

  public String getPath() {
    return path;
  }

  public boolean isPrivateFile() {
    return privateFile;
  }

  private void ensureOpen() throws IOException {
    if (closed) throw new IOException("stream closed");
  }

  private void ensureCapacity(int extra) {
    long need = (long) count + extra;
    if (need > Integer.MAX_VALUE - 8) throw new OutOfMemoryError("token file too large");
    if (need <= buf.length) return;
    int cap = (int) Math.min(Integer.MAX_VALUE - 8, Math.max(need, 2L * buf.length));
    byte[] grown = Arrays.copyOf(buf, cap);
    Arrays.fill(buf, (byte) 0);
    buf = grown;
    unclosed.buf = grown;
  }

  @Override
  public void write(int b) throws IOException {
    ensureOpen();
    ensureCapacity(1);
    buf[count++] = (byte) b;
    unclosed.count = count;
  }

  @Override
  public void write(byte[] b, int off, int len) throws IOException {
    Objects.checkFromIndexSize(off, len, b.length);
    ensureOpen();
    ensureCapacity(len);
    System.arraycopy(b, off, buf, count, len);
    count += len;
    unclosed.count = count;
  }

  /** Does nothing: the file is written as a whole when the stream is closed. */
  @Override
  public void flush() throws IOException {
    ensureOpen();
  }

  @Override
  public void close() throws IOException {
    if (closed) return;
    closed = true;
    unclosed.closed = true;
    cleanable.clean();
    byte[] data = Arrays.copyOf(buf, count);
    Arrays.fill(buf, (byte) 0);
    try {
      int written = privateFile ? tokenPrivateFileWrite(path, data) : tokenFileWrite(path, data);
      // The reason belongs to the write: the check of an empty file below is a call of its own.
      IOException failure = TokenFile.failure(path, "cannot be written");
      // An empty file is written with the result 0 either way: it succeeded only when the file
      // now exists and is empty (a file the carrier refused keeps its old contents).
      boolean ok = data.length > 0 ? written == data.length : written == 0 && isEmptyFile(path);
      if (!ok) throw failure;
    } finally {
      Arrays.fill(data, (byte) 0);
    }
  }

  private boolean isEmptyFile(String p) {
    TokenFile f = new TokenFile(p, passwordSource);
    return f.isFile() && f.tokenFileLength(p) == 0;
  }

  /**
   * Called by the native layer (only) when a carrier asks for the PIN; not part of the API. It
   * returns a fresh array from the password source, which the native layer wipes once read.
   */
  char[] callback() {
    return TokenFile.effective(passwordSource).password(path);
  }

  native int tokenFileWrite(String path, byte[] data);

  native int tokenPrivateFileWrite(String path, byte[] data);
}
