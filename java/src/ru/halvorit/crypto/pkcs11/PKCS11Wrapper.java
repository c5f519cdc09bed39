package ru.halvorit.crypto.pkcs11;

import java.util.Objects;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;

/**
 * The key store's native methods. Each takes the path of a key container, or of an entry in one,
 * and runs one operation in the library; the private key never leaves the container or the token.
 *
 * <p>Paths: a {@code pkcs11} path ({@code pkcs11:\module\...}) names the container of a PKCS#11
 * token, whose keys and certificates are token objects. A drive or folder path names either the
 * container's folder, meaning its first key file ({@code keys/00000001.key}), or a key file in
 * the container's key folder ({@code CONTAINER/keys/00000002.key}). The certificates of a folder
 * container are the {@code NNNNNNNN.cer} files of its key folder.
 *
 * <p>On failure an array method returns {@code null} and a boolean method {@code false}; the
 * library calls {@link #setError(int)} first with the token's or carrier's status (5 when the
 * failure did not come from a token) and prints its error queue on the standard error stream.
 * {@link #getLastError()} and {@link #lastReason()} give them to the caller. When a carrier or
 * token asks for a PIN, the library calls {@link #callback()}, which asks the password source.
 *
 * <p>An instance may be shared between threads; the last error is kept per thread.
 * {@link KeyContainer} wraps these methods with checked exceptions and JCA types.
 */
public class PKCS11Wrapper {
  static {
    System.loadLibrary("jarnel");
  }

  private final PasswordSource passwordSource;
  private final ThreadLocal<Integer> lastError = ThreadLocal.withInitial(() -> 0);
  private final ThreadLocal<String> pinPath = new ThreadLocal<>();

  /** A wrapper whose PIN comes from the token-file classes' default password source. */
  public PKCS11Wrapper() {
    this(null);
  }

  /** A wrapper whose PIN comes from {@code passwordSource} (null: the default source). */
  public PKCS11Wrapper(PasswordSource passwordSource) {
    this.passwordSource = passwordSource;
  }

  /** Called by the library with the status of a failure (5 when no token reported one). */
  protected void setError(int code) {
    lastError.set(code);
  }

  /** Called by the library when a carrier or token needs the PIN. */
  protected char[] callback() {
    PasswordSource source =
        passwordSource != null ? passwordSource : TokenFile.getDefaultPasswordSource();
    return source.password(pinPath.get());
  }

  /** The status the last failed call of this thread reported; 0 until a call failed. */
  public int getLastError() {
    return lastError.get();
  }

  /** Clears this thread's last error. */
  public void clearLastError() {
    lastError.set(0);
  }

  /** The path the password source is told about in this thread's next calls. */
  void setPinPath(String path) {
    pinPath.set(path);
  }

  /**
   * The reason of this thread's last failed key-store call as the library names it, for example
   * "PSE not found or corrupted"; empty after a success.
   */
  public static native String lastReason();

  /** The innermost reason the library recorded for this thread's last failed call. */
  public static native String lastDetail();

  /**
   * Generates a key pair in the container at path and returns its public key as a DER
   * SubjectPublicKeyInfo. The algorithm must be "ECGOST3410" (GOST R 34.10-2001) and the
   * parameter set one of "CP-A", "CP-B", "CP-C", "CP-XA", "CP-XB" (exact names); any other name
   * fails with status 0x71 before the carrier is touched. A folder container's key file is never
   * replaced: destroy the entry first.
   */
  public native byte[] nativeGenerateKeyPair(String path, String algorithm, String parameters);

  /** The public key of the key at path as a DER SubjectPublicKeyInfo. */
  public native byte[] nativeGetPublicKey(String path);

  /**
   * Signs a GOST R 34.11-94 hash value with the key at path and returns the 64-byte signature
   * s || r (each 32 bytes, most significant byte first), as the CryptoPro form and
   * BouncyCastle's "GOST3411withECGOST3410" have it.
   *
   * <p>The first 32 bytes of data are the hash value as one number, most significant byte
   * first; bytes after the 32nd are ignored, and shorter data is followed by zero bytes. The
   * GOST R 34.11-94 hash function itself (and BouncyCastle's {@code GOST3411Digest}) puts out
   * the least significant byte first: reverse its 32 bytes before signing. The signature then
   * verifies as BouncyCastle's "GOST3411withECGOST3410" over the message that was hashed.
   */
  public native byte[] nativeSign(String path, byte[] data);

  /**
   * The key-encryption key of the VKO GOST R 34.10-2001 agreement (RFC 4357) between the key at
   * path and the peer's public key (DER SubjectPublicKeyInfo), with the first 8 bytes of ukm as
   * the user keying material: 32 bytes in the order of RFC 4357, as BouncyCastle and the OpenSSL
   * GOST engine compute it. The peer's key must be on the same curve. The last argument is not
   * used.
   */
  public native byte[] nativeDerive(String path, byte[] peerPublicKey, byte[] ukm, int unused);

  /**
   * The aliases of the container's private keys, or null when it holds none (no error then).
   * Token: the keys' CKA_ID names; folder: the key files' names.
   */
  public native String[] nativePrivateKeyAliases(String path);

  /**
   * The aliases of the container's certificates, or null when it holds none. Token: the names
   * of the certificates of category 1, then 2; folder: the {@code *.cer} files' names.
   */
  public native String[] nativeCertificateAliases(String path);

  /** The DER certificate at path (a token certificate or a {@code .cer} file). */
  public native byte[] nativeGetCertificate(String path);

  /**
   * Stores a certificate (DER or PEM; checked before anything is written). At a folder
   * container's path it becomes the first free {@code NNNNNNNN.cer} of the key folder (a
   * certificate stored already is not stored again); any other path is written as given. The
   * flag selects the token's certificate category: 2 when true, 1 when false.
   */
  public native boolean nativeAddCertificate(String path, byte[] certificate, boolean flag);

  /** Deletes the entry at path (a key, a certificate, a file of a container). */
  public native boolean nativeDestroyEntry(String path);

  /**
   * The container's contents for export: master key, mask, KEK and random state, one after the
   * other (see {@link ContainerImage}). A folder container keeps no random state in memory and
   * fails with "PSE not found or corrupted"; {@link KeyContainer#exportImage()} reads its
   * files instead.
   */
  public native byte[] nativeReadPSE(String path);

  /**
   * Writes a container at path from its four contents, which are checked first: contents that
   * do not form a container write nothing.
   */
  public native boolean nativeWritePSE(String path, byte[] masterKey, byte[] mask, byte[] kek,
      byte[] randomState);

  /** Deletes the container's files (its keys and certificates stay). */
  public native boolean nativeErasePSE(String path);

  static String requirePath(String path) {
    return Objects.requireNonNull(path, "path");
  }
}
