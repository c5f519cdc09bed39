package ru.halvorit.crypto.pkcs11;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PublicKey;
import java.security.cert.CertificateEncodingException;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.spec.InvalidKeySpecException;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.Objects;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

/**
 * A key container on a carrier, opened by its path, with its GOST R 34.10-2001 keys and
 * certificates. The private keys never leave the container or the token: the container signs and
 * derives for the caller.
 *
 * <p>Entries are named by alias, as {@link #privateKeyAliases()} and
 * {@link #certificateAliases()} list them; a null alias is the container's own key (the first
 * key file of a folder container, the token's key of a {@code pkcs11} container). On a folder
 * container a new key may get the alias of a further key file, such as {@code "00000002.key"}.
 *
 * <p>Failures throw {@link KeyContainerException} with the library's status and reason. PINs are
 * asked through the {@link PasswordSource} given (null: {@link TokenFile}'s default source).
 */
public final class KeyContainer {
  /** The one key algorithm: GOST R 34.10-2001. */
  public static final String ALGORITHM = "ECGOST3410";

  private static final String[] SMART_CARD_PREFIXES = {
    "etr2", "etoken", "aks ifdh", "aladdin token jc", "rutoken", "aktiv co. rutoken"
  };
  private static final String[] CONTAINER_FILES_PLAIN = {
    "mk.db3", "masks.db3", "kek.opq", "rand.opq"
  };
  private static final String[] CONTAINER_FILES_IBUTTON = {
    "mk  .001", "mask.001", "kek .001", "rand.001"
  };
  private static final String[] CONTAINER_FILES_SMART_CARD = {"a001", "b001", "c001", "d001"};

  private static final java.util.regex.Pattern OWN_KEY =
      java.util.regex.Pattern.compile("(.+)[\\\\/]keys[\\\\/]00000001\\.key");

  private final String path;
  private final PKCS11Wrapper wrapper;

  /** The container at path; PINs from the default password source. */
  public KeyContainer(String path) {
    this(path, null);
  }

  /** The container at path; PINs from {@code passwordSource} (null: the default source). */
  public KeyContainer(String path, PasswordSource passwordSource) {
    this.path = PKCS11Wrapper.requirePath(path);
    this.wrapper = new PKCS11Wrapper(passwordSource);
  }

  public String getPath() {
    return path;
  }

  /** Whether the container lives on a PKCS#11 token. */
  public boolean isToken() {
    return isTokenPath(path);
  }

  static boolean isTokenPath(String p) {
    return p.regionMatches(true, 0, "pkcs11", 0, 6);
  }

  /**
   * The path of an entry: the container path for a null alias; on a token the token's root
   * joined with the alias; in a folder container the key folder joined with it.
   */
  public String entryPath(String alias) {
    if (alias == null) return path;
    if (alias.isEmpty()) throw new IllegalArgumentException("an empty alias");
    if (isToken()) {
      // Token names are the CKA_IDs below the module and may have components of their own.
      String p = path.replace('/', '\\');
      int colon = p.indexOf(':');
      int cut = colon < 0 ? -1 : p.indexOf('\\', colon + 2);
      String root = cut < 0 ? p : p.substring(0, cut);
      return root + "\\" + alias;
    }
    if (alias.contains("/") || alias.contains("\\")) {
      throw new IllegalArgumentException("not an alias of a folder container: " + alias);
    }
    return keyFolder() + "/" + alias;
  }

  /**
   * The path the key methods take for the key under alias. On a token a container's key is
   * named by the container's key file ({@code NAME\\keys\\00000001.key}) and reached through
   * the container path that names it ({@code pkcs11:\\module\\NAME}); elsewhere the entry path.
   */
  public String keyPath(String alias) {
    if (alias != null && isToken()) {
      java.util.regex.Matcher m = OWN_KEY.matcher(alias);
      if (m.matches()) return entryPath(m.group(1));
    }
    return entryPath(alias);
  }

  /** The key folder of a container that is not on a token. */
  String keyFolder() {
    String lower = path.toLowerCase(Locale.ROOT);
    String name = "keys";
    for (String prefix : SMART_CARD_PREFIXES) {
      if (lower.startsWith(prefix)) name = "aaaa";
    }
    return TokenFileJoin.join(path, name);
  }

  // ---- keys --------------------------------------------------------------------------------

  /** Generates the container's own key on a parameter set ("CP-A" ... "CP-XB"). */
  public PublicKey generateKeyPair(String parameterSet) throws KeyContainerException {
    return generateKeyPair(null, ALGORITHM, parameterSet);
  }

  /** Generates a key pair under alias (null: the container's own key). */
  public PublicKey generateKeyPair(String alias, String algorithm, String parameterSet)
      throws KeyContainerException {
    String p = keyPath(alias);
    return toPublicKey(array("nativeGenerateKeyPair", p,
        () -> wrapper.nativeGenerateKeyPair(p, algorithm, parameterSet)));
  }

  /** The DER SubjectPublicKeyInfo of the key under alias. */
  public byte[] getEncodedPublicKey(String alias) throws KeyContainerException {
    String p = keyPath(alias);
    return array("nativeGetPublicKey", p, () -> wrapper.nativeGetPublicKey(p));
  }

  /** The container's own public key. */
  public PublicKey getPublicKey() throws KeyContainerException {
    return getPublicKey(null);
  }

  /**
   * The public key under alias: the key of an installed provider's "ECGOST3410" key factory
   * (BouncyCastle's, say) when there is one, else a key that carries the X.509 encoding.
   */
  public PublicKey getPublicKey(String alias) throws KeyContainerException {
    return toPublicKey(getEncodedPublicKey(alias));
  }

  static PublicKey toPublicKey(byte[] der) {
    try {
      return KeyFactory.getInstance(ALGORITHM).generatePublic(new X509EncodedKeySpec(der));
    } catch (NoSuchAlgorithmException | InvalidKeySpecException e) {
      return new EncodedPublicKey(der);
    }
  }

  /**
   * A handle of the private key under alias (null: the container's own key) for
   * {@link JarnelProvider}'s signatures. The key itself stays in the container.
   */
  public ContainerPrivateKey getPrivateKey(String alias) {
    keyPath(alias);
    return new ContainerPrivateKey(this, alias);
  }

  /**
   * Signs a GOST R 34.11-94 hash value given most significant byte first (the reverse of the
   * hash function's output, see {@link PKCS11Wrapper#nativeSign}); returns s || r.
   */
  public byte[] signHash(String alias, byte[] hash) throws KeyContainerException {
    Objects.requireNonNull(hash, "hash");
    if (hash.length != 32) throw new IllegalArgumentException("a hash value has 32 bytes");
    String p = keyPath(alias);
    return array("nativeSign", p, () -> wrapper.nativeSign(p, hash));
  }

  /**
   * Signs a message as "GOST3411withECGOST3410": hashes it with the "GOST3411" message digest
   * of an installed provider (BouncyCastle's, say) and signs the hash. The result verifies with
   * BouncyCastle's "GOST3411withECGOST3410" and the key's public key.
   */
  public byte[] signMessage(String alias, byte[] message)
      throws KeyContainerException, NoSuchAlgorithmException {
    byte[] hash = MessageDigest.getInstance("GOST3411").digest(message);
    reverse(hash);
    return signHash(alias, hash);
  }

  /**
   * The 32-byte key-encryption key of the VKO GOST R 34.10-2001 agreement (RFC 4357) of the key
   * under alias with the peer's public key and 8 bytes of user keying material.
   */
  public byte[] deriveKey(String alias, PublicKey peer, byte[] ukm)
      throws KeyContainerException {
    Objects.requireNonNull(peer, "peer");
    Objects.requireNonNull(ukm, "ukm");
    if (ukm.length != 8) throw new IllegalArgumentException("the UKM has 8 bytes");
    byte[] encoded = peer.getEncoded();
    if (encoded == null) throw new IllegalArgumentException("the peer key has no encoding");
    String p = keyPath(alias);
    return array("nativeDerive", p, () -> wrapper.nativeDerive(p, encoded, ukm, 0));
  }

  /** The aliases of the container's private keys (empty when it holds none). */
  public List<String> privateKeyAliases() throws KeyContainerException {
    return names("nativePrivateKeyAliases", () -> wrapper.nativePrivateKeyAliases(path));
  }

  /** The aliases of the container's certificates (empty when it holds none). */
  public List<String> certificateAliases() throws KeyContainerException {
    return names("nativeCertificateAliases", () -> wrapper.nativeCertificateAliases(path));
  }

  // ---- certificates ------------------------------------------------------------------------

  /** The certificate under alias. */
  public X509Certificate getCertificate(String alias)
      throws KeyContainerException, CertificateException {
    String p = entryPath(Objects.requireNonNull(alias, "alias"));
    byte[] der = array("nativeGetCertificate", p, () -> wrapper.nativeGetCertificate(p));
    return (X509Certificate) CertificateFactory.getInstance("X.509")
        .generateCertificate(new ByteArrayInputStream(der));
  }

  /** Stores a certificate in the container (category 1 on a token). */
  public void addCertificate(X509Certificate certificate)
      throws KeyContainerException, CertificateEncodingException {
    addCertificate(certificate.getEncoded(), false);
  }

  /**
   * Stores a certificate (DER or PEM) in the container; on a token {@code category2} selects
   * category 2 instead of 1. A folder container stores it as its key folder's next
   * {@code NNNNNNNN.cer}, and not again when it is there.
   */
  public void addCertificate(byte[] encoded, boolean category2) throws KeyContainerException {
    Objects.requireNonNull(encoded, "encoded");
    bool("nativeAddCertificate", path,
        () -> wrapper.nativeAddCertificate(path, encoded, category2));
  }

  /** Deletes the key or certificate under alias. */
  public void destroyEntry(String alias) throws KeyContainerException {
    String p = entryPath(Objects.requireNonNull(alias, "alias"));
    bool("nativeDestroyEntry", p, () -> wrapper.nativeDestroyEntry(p));
  }

  // ---- whole containers --------------------------------------------------------------------

  /**
   * The container's four contents. A token container gives them through the library; a folder
   * container's are read from its files (the library keeps no random state of one in memory).
   */
  public ContainerImage exportImage() throws KeyContainerException {
    if (isToken()) {
      byte[] all = array("nativeReadPSE", path, () -> wrapper.nativeReadPSE(path));
      try {
        return ContainerImage.parse(all);
      } finally {
        Arrays.fill(all, (byte) 0);
      }
    }
    byte[][] parts = new byte[4][];
    try {
      for (int i = 0; i < 4; i++) {
        parts[i] = TokenFileInputStream.readAll(TokenFileJoin.join(path, containerFile(i)));
      }
      return new ContainerImage(parts[0], parts[1], parts[2], parts[3]);
    } catch (IOException e) {
      KeyContainerException k = new KeyContainerException("exportImage", path, 5,
          "PSE not found or corrupted", e.getMessage());
      k.initCause(e);
      throw k;
    } finally {
      for (byte[] b : parts) {
        if (b != null) Arrays.fill(b, (byte) 0);
      }
    }
  }

  private String containerFile(int i) {
    String lower = path.toLowerCase(Locale.ROOT);
    if (lower.startsWith("ibutton")) return CONTAINER_FILES_IBUTTON[i];
    for (String prefix : SMART_CARD_PREFIXES) {
      if (lower.startsWith(prefix)) return CONTAINER_FILES_SMART_CARD[i];
    }
    return CONTAINER_FILES_PLAIN[i];
  }

  /**
   * Writes a container at path from its contents, which are checked first (contents that form
   * no container write nothing).
   */
  public static KeyContainer importImage(String path, ContainerImage image,
      PasswordSource passwordSource) throws KeyContainerException {
    KeyContainer target = new KeyContainer(path, passwordSource);
    target.bool("nativeWritePSE", path, () -> target.wrapper.nativeWritePSE(path,
        image.masterKey(), image.mask(), image.kek(), image.randomState()));
    return target;
  }

  /**
   * Copies the container to another carrier: its contents, and from a folder container to a
   * folder its key files and certificates, so that the keys work there. Returns the copy.
   */
  public KeyContainer exportTo(String targetPath, PasswordSource passwordSource)
      throws KeyContainerException {
    ContainerImage image = exportImage();
    KeyContainer target;
    try {
      target = importImage(targetPath, image, passwordSource);
    } finally {
      image.wipe();
    }
    if (!isToken() && !target.isToken()) {
      try {
        TokenFile from = new TokenFile(keyFolder());
        String[] names = from.list();
        if (names != null) {
          TokenFile to = new TokenFile(target.keyFolder());
          if (!to.isDirectory() && !to.mkdirs()) throw new IOException("cannot make " + to);
          for (String name : names) {
            String lower = name.toLowerCase(Locale.ROOT);
            if (!lower.endsWith(".key") && !lower.endsWith(".cer")) continue;
            byte[] data = TokenFileInputStream.readAll(TokenFileJoin.join(from.getPath(), name));
            try {
              TokenFileOutputStream.writeAll(TokenFileJoin.join(to.getPath(), name), data, false);
            } finally {
              Arrays.fill(data, (byte) 0);
            }
          }
        }
      } catch (IOException e) {
        KeyContainerException k =
            new KeyContainerException("exportTo", targetPath, 5, "internal error", e.getMessage());
        k.initCause(e);
        throw k;
      }
    }
    return target;
  }

  /** Deletes the container's four files (its keys and certificates stay). */
  public void erase() throws KeyContainerException {
    bool("nativeErasePSE", path, () -> wrapper.nativeErasePSE(path));
  }

  // ---- calls -------------------------------------------------------------------------------

  private interface ArrayCall<T> {
    T run();
  }

  private interface BoolCall {
    boolean run();
  }

  private KeyContainerException failure(String operation, String p) {
    return new KeyContainerException(operation, p, wrapper.getLastError(),
        PKCS11Wrapper.lastReason(), PKCS11Wrapper.lastDetail());
  }

  private <T> T array(String operation, String p, ArrayCall<T> call)
      throws KeyContainerException {
    wrapper.clearLastError();
    wrapper.setPinPath(p);
    T result = call.run();
    if (result == null) throw failure(operation, p);
    return result;
  }

  private void bool(String operation, String p, BoolCall call) throws KeyContainerException {
    wrapper.clearLastError();
    wrapper.setPinPath(p);
    if (!call.run()) throw failure(operation, p);
  }

  private List<String> names(String operation, ArrayCall<String[]> call)
      throws KeyContainerException {
    wrapper.clearLastError();
    wrapper.setPinPath(path);
    String[] result = call.run();
    if (result == null) {
      if (wrapper.getLastError() != 0) throw failure(operation, path);
      return Collections.emptyList();
    }
    return Collections.unmodifiableList(new ArrayList<>(Arrays.asList(result)));
  }

  static void reverse(byte[] b) {
    for (int i = 0, j = b.length - 1; i < j; i++, j--) {
      byte t = b[i];
      b[i] = b[j];
      b[j] = t;
    }
  }

  @Override
  public String toString() {
    return "KeyContainer[" + path + "]";
  }

  /** A public key known only by its X.509 encoding, when no provider knows the algorithm. */
  static final class EncodedPublicKey implements PublicKey {
    private static final long serialVersionUID = 1L;
    private final byte[] encoded;

    EncodedPublicKey(byte[] encoded) {
      this.encoded = encoded.clone();
    }

    @Override
    public String getAlgorithm() {
      return ALGORITHM;
    }

    @Override
    public String getFormat() {
      return "X.509";
    }

    @Override
    public byte[] getEncoded() {
      return encoded.clone();
    }
  }

  /** Path joining as the token-file classes do it. */
  static final class TokenFileJoin {
    private TokenFileJoin() {}

    static String join(String parent, String child) {
      if (parent.isEmpty() || parent.endsWith("/") || parent.endsWith("\\")) return parent + child;
      return parent + "/" + child;
    }
  }
}
