package ru.halvorit.keystoretest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.security.interfaces.ECPublicKey;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ru.halvorit.crypto.pkcs11.ContainerImage;
import ru.halvorit.crypto.pkcs11.JarnelProvider;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.KeyContainerException;
import ru.halvorit.crypto.pkcs11.PKCS11Wrapper;

/**
 * The key-store entry points on containers in folders, against BouncyCastle: key pairs,
 * signatures, VKO, aliases, certificates, export and import, erasure, and the status and reason
 * of every failure.
 */
class FolderKeyStoreTest {
  private static final SecureRandom RANDOM = new SecureRandom();
  private Path dir;
  private final PKCS11Wrapper w = new PKCS11Wrapper();

  @BeforeEach
  void setUp() throws IOException {
    dir = Files.createTempDirectory("keystore");
  }

  @AfterEach
  void tearDown() throws IOException {
    try (Stream<Path> s = Files.walk(dir)) {
      s.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
    }
  }

  private String container(String name) throws Exception {
    String path = dir.resolve(name).toString();
    Fixtures.createContainer(path);
    return path;
  }

  private void assertFailed(int status, String reason) {
    assertEquals(status, w.getLastError(), "setError");
    assertEquals(reason, PKCS11Wrapper.lastReason());
    w.clearLastError();
  }

  @Test
  void generatedKeysSignForBouncyCastleOnEverySet() throws Exception {
    byte[] message = new byte[3000];
    RANDOM.nextBytes(message);
    for (String set : new String[] {"CP-A", "CP-B", "CP-C", "CP-XA", "CP-XB"}) {
      String pse = container("pse-" + set);
      byte[] spki = w.nativeGenerateKeyPair(pse, "ECGOST3410", set);
      assertNotNull(spki, set);
      assertEquals(0, w.getLastError());
      assertArrayEquals(spki, w.nativeGetPublicKey(pse), set);
      assertTrue(Files.isRegularFile(dir.resolve("pse-" + set).resolve("keys/00000001.key")));
      PublicKey pub = Fixtures.bcPublic(spki);
      // 40 bytes: the hash and 8 bytes more, which do not count.
      byte[] data = Arrays.copyOf(Fixtures.hashForSigning(message), 40);
      for (int i = 32; i < 40; i++) data[i] = (byte) RANDOM.nextInt();
      byte[] sig = w.nativeSign(pse, data);
      assertEquals(64, sig.length);
      Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
      v.initVerify(pub);
      v.update(message);
      assertTrue(v.verify(sig), "BouncyCastle verifies nativeSign, " + set);
      v.initVerify(pub);
      v.update(message, 1, message.length - 1);
      assertFalse(v.verify(sig), set);
    }
  }

  @Test
  void onlyTheFirst32BytesAreSigned() throws Exception {
    String pse = container("pse");
    PublicKey pub = Fixtures.bcPublic(w.nativeGenerateKeyPair(pse, "ECGOST3410", "CP-A"));
    byte[] message = "signed by the container".getBytes();
    byte[] hash = Fixtures.hashForSigning(message);
    byte[] longer = Arrays.copyOf(hash, 40);
    Arrays.fill(longer, 32, 40, (byte) 0x5A);
    for (byte[] data : new byte[][] {hash, longer}) {
      Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
      v.initVerify(pub);
      v.update(message);
      assertTrue(v.verify(w.nativeSign(pse, data)), "length " + data.length);
    }
  }

  @Test
  void deriveGivesBouncyCastlesVko() throws Exception {
    for (String set : new String[] {"CP-XA", "CP-XB", "CP-A"}) {
      String a = container("a-" + set);
      String b = container("b-" + set);
      byte[] pubA = w.nativeGenerateKeyPair(a, "ECGOST3410", set);
      byte[] pubB = w.nativeGenerateKeyPair(b, "ECGOST3410", set);
      byte[] ukm = new byte[8];
      RANDOM.nextBytes(ukm);
      // With a BouncyCastle party: both sides compute the same RFC 4357 KEK.
      KeyPair peer = Fixtures.bcKeyPair(set);
      byte[] kek = w.nativeDerive(a, peer.getPublic().getEncoded(), ukm, 0);
      assertEquals(32, kek.length);
      assertArrayEquals(Fixtures.bcVko(peer.getPrivate(), Fixtures.bcPublic(pubA), ukm), kek, set);
      // Between two containers; only the UKM's first 8 bytes count.
      byte[] longUkm = Arrays.copyOf(ukm, 12);
      longUkm[10] = 7;
      assertArrayEquals(w.nativeDerive(a, pubB, ukm, 0), w.nativeDerive(b, pubA, longUkm, 99), set);
    }
  }

  @Test
  void deriveRefusesForeignPeersAndShortUkm() throws Exception {
    String a = container("a");
    w.nativeGenerateKeyPair(a, "ECGOST3410", "CP-A");
    byte[] otherCurve = Fixtures.bcKeyPair("CP-B").getPublic().getEncoded();
    // XchA has the curve of A, but the keys' parameter sets must be the same.
    byte[] sameCurve = Fixtures.bcKeyPair("CP-XA").getPublic().getEncoded();
    Object[][] cases = {
      {otherCurve, new byte[8]},
      {Arrays.copyOf(sameCurve, sameCurve.length - 1), new byte[8]},
      {new byte[] {0x30, 0}, new byte[8]},
      {sameCurve, new byte[8]},
      {Fixtures.bcKeyPair("CP-A").getPublic().getEncoded(), new byte[7]},
    };
    for (Object[] c : cases) {
      assertNull(w.nativeDerive(a, (byte[]) c[0], (byte[]) c[1], 0));
      assertFailed(5, "internal error");
    }
    assertNotNull(w.nativeDerive(a, Fixtures.bcKeyPair("CP-A").getPublic().getEncoded(),
        new byte[] {1, 0, 0, 0, 0, 0, 0, 0}, 0));
  }

  @Test
  void badNamesFailBeforeTheCarrierIsTouched() throws Exception {
    String missing = dir.resolve("no-such-container").toString();
    String[][] cases = {
      {"ecgost3410", "CP-A", "unknown or usupportedalgorithm"},
      {"ECGOST3410 ", "CP-A", "unknown or usupportedalgorithm"},
      {"GOST3410", "CP-A", "unknown or usupportedalgorithm"},
      {"ECGOST3410", "CP-A ", "unknown parameters"},
      {"ECGOST3410", "cp-a", "unknown parameters"},
      {"ECGOST3410", "CP-D", "unknown parameters"},
      {"ECGOST3410", "", "unknown parameters"},
    };
    for (String[] c : cases) {
      assertNull(w.nativeGenerateKeyPair(missing, c[0], c[1]), c[0] + "/" + c[1]);
      assertFailed(0x71, c[2]);
    }
    assertFalse(Files.exists(dir.resolve("no-such-container")));
  }

  @Test
  void keyMethodsOnAMissingContainerOrKey() throws Exception {
    String missing = dir.resolve("none").toString();
    assertNull(w.nativeGenerateKeyPair(missing, "ECGOST3410", "CP-A"));
    assertFailed(5, "internal error");
    String empty = container("empty");
    assertNull(w.nativeGetPublicKey(empty));
    assertFailed(5, "internal error");
    assertNull(w.nativeSign(empty, new byte[32]));
    assertFailed(5, "internal error");
    assertNull(w.nativeDerive(empty, Fixtures.bcKeyPair("CP-A").getPublic().getEncoded(),
        new byte[8], 0));
    assertFailed(5, "internal error");
  }

  @Test
  void aKeyFileIsNeverReplaced() throws Exception {
    String pse = container("pse");
    byte[] first = w.nativeGenerateKeyPair(pse, "ECGOST3410", "CP-A");
    assertNull(w.nativeGenerateKeyPair(pse, "ECGOST3410", "CP-A"));
    assertFailed(5, "internal error");
    assertArrayEquals(first, w.nativeGetPublicKey(pse));
    // A second key goes to a key file of its own, named by its path in the key folder.
    String second = pse + "/keys/00000002.key";
    byte[] other = w.nativeGenerateKeyPair(second, "ECGOST3410", "CP-B");
    assertNotNull(other);
    assertArrayEquals(other, w.nativeGetPublicKey(second));
    assertArrayEquals(first, w.nativeGetPublicKey(pse));
    assertArrayEquals(new String[] {"00000001.key", "00000002.key"},
        sorted(w.nativePrivateKeyAliases(pse)));
  }

  private static String[] sorted(String[] a) {
    assertNotNull(a);
    String[] c = a.clone();
    Arrays.sort(c);
    return c;
  }

  @Test
  void aliasesCertificatesAndEntries() throws Exception {
    String pse = container("pse");
    assertNull(w.nativePrivateKeyAliases(pse));
    assertNull(w.nativeCertificateAliases(pse));
    assertEquals(0, w.getLastError(), "no entries is no error");
    assertEquals("", PKCS11Wrapper.lastReason());

    PublicKey pub = Fixtures.bcPublic(w.nativeGenerateKeyPair(pse, "ECGOST3410", "CP-A"));
    X509Certificate cert = Fixtures.issue(pub, "container key");
    assertTrue(w.nativeAddCertificate(pse, cert.getEncoded(), false));
    assertArrayEquals(new String[] {"00000001.cer"}, w.nativeCertificateAliases(pse));
    assertArrayEquals(cert.getEncoded(), w.nativeGetCertificate(pse + "/keys/00000001.cer"));
    // The same certificate is kept once; another one gets the next name.
    assertTrue(w.nativeAddCertificate(pse, cert.getEncoded(), true));
    X509Certificate other = Fixtures.issue(pub, "second");
    assertTrue(w.nativeAddCertificate(pse, other.getEncoded(), false));
    assertArrayEquals(new String[] {"00000001.cer", "00000002.cer"},
        sorted(w.nativeCertificateAliases(pse)));
    assertArrayEquals(new String[] {"00000001.key"}, w.nativePrivateKeyAliases(pse));

    // Bytes that are no certificate write nothing.
    byte[] broken = cert.getEncoded();
    broken[broken.length / 2] ^= 0x55;
    for (byte[] bad : new byte[][] {new byte[0], "not a certificate".getBytes(),
             Arrays.copyOf(cert.getEncoded(), 100), broken}) {
      assertFalse(w.nativeAddCertificate(pse, bad, false));
      assertFailed(5, "internal error");
    }
    assertEquals(2, w.nativeCertificateAliases(pse).length);
    assertNull(w.nativeGetCertificate(pse + "/keys/00000009.cer"));
    assertFailed(5, "internal error");

    assertTrue(w.nativeDestroyEntry(pse + "/keys/00000002.cer"));
    assertTrue(w.nativeDestroyEntry(pse + "/keys/00000001.cer"));
    assertNull(w.nativeCertificateAliases(pse));
    assertTrue(w.nativeDestroyEntry(pse + "/keys/00000001.key"));
    assertNull(w.nativePrivateKeyAliases(pse));
    assertEquals(0, w.getLastError());
    assertNull(w.nativeGetPublicKey(pse));
    assertFailed(5, "internal error");
  }

  @Test
  void listingSomethingThatIsNoContainer() throws Exception {
    Files.createDirectories(dir.resolve("plain"));
    assertNull(w.nativePrivateKeyAliases(dir.resolve("plain").toString()));
    assertFailed(5, "internal error");
  }

  @Test
  void readingAFolderContainerFailsAndWritingChecksFirst() throws Exception {
    String pse = container("pse");
    assertNull(w.nativeReadPSE(pse));
    assertFailed(5, "PSE not found or corrupted");
    assertNull(w.nativeReadPSE(dir.resolve("none").toString()));
    assertFailed(5, "PSE not found or corrupted");

    byte[] spki = w.nativeGenerateKeyPair(pse, "ECGOST3410", "CP-A");
    byte[] mk = Files.readAllBytes(dir.resolve("pse/mk.db3"));
    byte[] mask = Files.readAllBytes(dir.resolve("pse/masks.db3"));
    byte[] kek = Files.readAllBytes(dir.resolve("pse/kek.opq"));
    byte[] rand = Files.readAllBytes(dir.resolve("pse/rand.opq"));

    // Contents that form no container write nothing.
    byte[] badMk = mk.clone();
    badMk[badMk.length - 1] ^= 1;
    byte[] badKek = kek.clone();
    badKek[3] ^= 1;
    byte[][][] bad = {
      {badMk, mask, kek, rand},
      {mk, mask, badKek, rand},
      {mk, mask, kek, new byte[0]},
      {new byte[0], mask, kek, rand},
    };
    Path target = dir.resolve("copy");
    for (int i = 0; i < bad.length; i++) {
      byte[][] c = bad[i];
      assertFalse(w.nativeWritePSE(target.toString(), c[0], c[1], c[2], c[3]), "case " + i);
      assertFailed(5, "internal error");
      assertFalse(Files.exists(target.resolve("mk.db3")), "nothing written");
    }
    assertTrue(w.nativeWritePSE(target.toString(), mk, mask, kek, rand));
    assertArrayEquals(mk, Files.readAllBytes(target.resolve("mk.db3")));
    // The key file works in the copy: the copy has the same KEK.
    Files.createDirectories(target.resolve("keys"));
    Files.copy(dir.resolve("pse/keys/00000001.key"), target.resolve("keys/00000001.key"));
    assertArrayEquals(spki, w.nativeGetPublicKey(target.toString()));

    assertTrue(w.nativeErasePSE(target.toString()));
    assertFalse(Files.exists(target.resolve("mk.db3")));
    assertFalse(Files.exists(target.resolve("kek.opq")));
    assertNull(w.nativeGetPublicKey(target.toString()));
    assertFailed(5, "internal error");
  }

  @Test
  void theJavaApi() throws Exception {
    String path = container("api");
    KeyContainer c = new KeyContainer(path);
    assertEquals(List.of(), c.privateKeyAliases());
    PublicKey pub = c.generateKeyPair("CP-XA");
    assertTrue(pub instanceof ECPublicKey, "BouncyCastle's key factory made the key");
    assertArrayEquals(pub.getEncoded(), c.getPublicKey().getEncoded());
    assertEquals(List.of("00000001.key"), c.privateKeyAliases());

    byte[] message = "a document".getBytes();
    byte[] sig = c.signMessage(null, message);
    Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
    v.initVerify(pub);
    v.update(message);
    assertTrue(v.verify(sig));

    // The same through the JCA: the provider is picked for the container's key.
    java.security.Security.addProvider(new JarnelProvider());
    Signature s = Signature.getInstance("GOST3411withECGOST3410");
    s.initSign(c.getPrivateKey(null));
    s.update(message);
    byte[] jcaSig = s.sign();
    assertEquals(JarnelProvider.NAME, s.getProvider().getName());
    v.initVerify(pub);
    v.update(message);
    assertTrue(v.verify(jcaSig));
    assertNull(c.getPrivateKey(null).getEncoded(), "the private key stays in the container");
    Signature other = Signature.getInstance("GOST3411withECGOST3410", JarnelProvider.NAME);
    assertThrows(java.security.InvalidKeyException.class, () -> other.initVerify(pub));
    Signature missing = Signature.getInstance("GOST3411withECGOST3410", JarnelProvider.NAME);
    missing.initSign(new KeyContainer(dir.resolve("none").toString()).getPrivateKey(null));
    missing.update(message);
    assertThrows(java.security.SignatureException.class, missing::sign);

    X509Certificate cert = Fixtures.issue(pub, "api");
    c.addCertificate(cert);
    assertEquals(List.of("00000001.cer"), c.certificateAliases());
    assertEquals(cert, c.getCertificate("00000001.cer"));

    KeyPair peer = Fixtures.bcKeyPair("CP-XA");
    byte[] ukm = {1, 2, 3, 4, 5, 6, 7, 8};
    assertArrayEquals(Fixtures.bcVko(peer.getPrivate(), pub, ukm),
        c.deriveKey(null, peer.getPublic(), ukm));

    KeyContainerException e = assertThrows(KeyContainerException.class,
        () -> c.generateKeyPair(null, "ecgost3410", "CP-A"));
    assertEquals(0x71, e.getErrorCode());
    assertEquals("unknown or usupportedalgorithm", e.getReason());
    assertEquals("nativeGenerateKeyPair", e.getOperation());
    assertThrows(IllegalArgumentException.class, () -> c.signHash(null, new byte[31]));

    // Export to a second folder: the key and certificate work there.
    String second = dir.resolve("second").toString();
    KeyContainer copy = c.exportTo(second, null);
    assertArrayEquals(pub.getEncoded(), copy.getPublicKey().getEncoded());
    assertEquals(List.of("00000001.cer"), copy.certificateAliases());
    v.initVerify(pub);
    v.update(message);
    assertTrue(v.verify(copy.signMessage(null, message)));
    ContainerImage image = c.exportImage();
    assertEquals(ContainerImage.OPAQUE_BYTES, image.getKek().length);
    image.wipe();

    c.destroyEntry("00000001.cer");
    assertEquals(List.of(), c.certificateAliases());
    c.erase();
    e = assertThrows(KeyContainerException.class, c::getPublicKey);
    assertEquals(5, e.getErrorCode());
    assertEquals("internal error", e.getReason());
    assertThrows(KeyContainerException.class, c::exportImage);
  }
}
