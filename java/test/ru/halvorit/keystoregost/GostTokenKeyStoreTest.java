package ru.halvorit.keystoregost;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import ru.halvorit.crypto.pkcs11.ContainerImage;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.PKCS11Wrapper;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.keystoretest.Fixtures;

/**
 * The key store on the GOST PKCS#11 test module: keys generated, used and listed on the token,
 * checked against BouncyCastle, certificates as token objects, and the container's contents.
 */
class GostTokenKeyStoreTest {
  static final String PIN = "1234";
  static final String TOKEN = "pkcs11:\\pkcs11gost";
  static final String CONTAINER = TOKEN + "\\pse";
  static final String KEY_ALIAS = "pse\\keys\\00000001.key";
  static final SecureRandom RANDOM = new SecureRandom();

  static final class CountingPin implements PasswordSource {
    final AtomicInteger asked = new AtomicInteger();

    @Override
    public char[] password(String path) {
      asked.incrementAndGet();
      return PIN.toCharArray();
    }
  }

  @BeforeAll
  static void token() throws Exception {
    Path dir = Path.of(Fixtures.env("PKCS11GOST_DIR"));
    if (Files.exists(dir)) Fixtures.run("rm", "-rf", dir.toString());
    Path folder = Files.createTempDirectory("gost-keystore").resolve("folder");
    Fixtures.createContainer(folder.toString());
    Fixtures.run(Map.of("JARNEL_PIN", PIN), Fixtures.env("JARNEL_TOOL"), "pse", "copy",
        folder.toString(), CONTAINER);
  }

  @Test
  void theContainerIsReadWithThePinFromCallback() throws Exception {
    CountingPin pin = new CountingPin();
    PKCS11Wrapper w = new PKCS11Wrapper(pin);
    byte[] all = w.nativeReadPSE(CONTAINER);
    assertNotNull(all);
    assertTrue(pin.asked.get() >= 1);
    ContainerImage image = ContainerImage.parse(all);
    assertEquals(ContainerImage.OPAQUE_BYTES, image.getRandomState().length);
  }

  @Test
  void badNamesAreRefusedOnTokensToo() {
    PKCS11Wrapper w = new PKCS11Wrapper(PasswordSource.NONE);
    assertNull(w.nativeGenerateKeyPair(CONTAINER, "ecgost3410", "CP-A"));
    assertEquals(0x71, w.getLastError());
    assertEquals("unknown or usupportedalgorithm", PKCS11Wrapper.lastReason());
    assertNull(w.nativeGenerateKeyPair(CONTAINER, "ECGOST3410", "CP-A "));
    assertEquals(0x71, w.getLastError());
    assertEquals("unknown parameters", PKCS11Wrapper.lastReason());
  }

  @Test
  void keysOnTheTokenAgreeWithBouncyCastle() throws Exception {
    CountingPin pin = new CountingPin();
    PKCS11Wrapper w = new PKCS11Wrapper(pin);
    KeyContainer c = new KeyContainer(CONTAINER, pin);
    for (String alias : c.privateKeyAliases()) c.destroyEntry(alias);

    byte[] spki = w.nativeGenerateKeyPair(CONTAINER, "ECGOST3410", "CP-XA");
    assertNotNull(spki, PKCS11Wrapper.lastReason());
    PublicKey pub = Fixtures.bcPublic(spki);
    assertArrayEquals(spki, w.nativeGetPublicKey(CONTAINER));
    // The container's own key is named by its key file below the module.
    assertEquals(List.of(KEY_ALIAS), c.privateKeyAliases());
    assertEquals(CONTAINER, c.keyPath(KEY_ALIAS));
    assertEquals(TOKEN + "\\" + KEY_ALIAS, c.entryPath(KEY_ALIAS));
    assertArrayEquals(spki, c.getEncodedPublicKey(KEY_ALIAS));

    byte[] message = new byte[1000];
    RANDOM.nextBytes(message);
    byte[] data = Arrays.copyOf(Fixtures.hashForSigning(message), 40);
    Arrays.fill(data, 32, 40, (byte) 0x33);
    Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
    v.initVerify(pub);
    v.update(message);
    assertTrue(v.verify(w.nativeSign(CONTAINER, data)), "BouncyCastle verifies the token's signature");

    KeyPair peer = Fixtures.bcKeyPair("CP-XA");
    byte[] ukm = new byte[8];
    RANDOM.nextBytes(ukm);
    assertArrayEquals(Fixtures.bcVko(peer.getPrivate(), pub, ukm),
        w.nativeDerive(CONTAINER, peer.getPublic().getEncoded(), ukm, 0));

    X509Certificate cert = Fixtures.issue(pub, "token key");
    assertTrue(w.nativeAddCertificate(CONTAINER, cert.getEncoded(), false),
        PKCS11Wrapper.lastReason());
    List<String> certs = c.certificateAliases();
    assertEquals(1, certs.size(), certs.toString());
    assertEquals(cert, c.getCertificate(certs.get(0)));
    c.destroyEntry(certs.get(0));
    assertEquals(List.of(), c.certificateAliases());

    c.destroyEntry(KEY_ALIAS);
    assertEquals(List.of(), c.privateKeyAliases());
    assertNull(w.nativeGetPublicKey(CONTAINER));
    assertTrue(w.getLastError() != 0);
  }
}
