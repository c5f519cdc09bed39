package ru.halvorit.keystoresignonly;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.PublicKey;
import java.security.Signature;
import java.util.Map;
import org.junit.jupiter.api.Test;
import ru.halvorit.crypto.pkcs11.PKCS11Wrapper;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.keystoretest.Fixtures;

/**
 * A token that signs but offers no key agreement (the GOST test module limited to key
 * generation and signing): nativeDerive fails with "unsupported mechamism" and status 0x70,
 * while signing works.
 */
class SignOnlyTokenTest {
  static final String CONTAINER = "pkcs11:\\pkcs11gost\\pse";

  @Test
  void keyAgreementIsRefusedAndSigningWorks() throws Exception {
    Path dir = Path.of(Fixtures.env("PKCS11GOST_DIR"));
    if (Files.exists(dir)) Fixtures.run("rm", "-rf", dir.toString());
    Path folder = Files.createTempDirectory("sign-only").resolve("folder");
    Fixtures.createContainer(folder.toString());
    Fixtures.run(Map.of("JARNEL_PIN", "1234"), Fixtures.env("JARNEL_TOOL"), "pse", "copy",
        folder.toString(), CONTAINER);

    PKCS11Wrapper w = new PKCS11Wrapper(PasswordSource.of("1234".toCharArray()));
    byte[] spki = w.nativeGenerateKeyPair(CONTAINER, "ECGOST3410", "CP-A");
    assertNotNull(spki, PKCS11Wrapper.lastReason());
    PublicKey pub = Fixtures.bcPublic(spki);
    byte[] peer = Fixtures.bcKeyPair("CP-A").getPublic().getEncoded();
    assertNull(w.nativeDerive(CONTAINER, peer, new byte[] {1, 2, 3, 4, 5, 6, 7, 8}, 0));
    assertEquals(0x70, w.getLastError());
    assertEquals("unsupported mechamism", PKCS11Wrapper.lastReason());

    byte[] message = "signed on a sign-only token".getBytes();
    Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
    v.initVerify(pub);
    v.update(message);
    assertTrue(v.verify(w.nativeSign(CONTAINER, Fixtures.hashForSigning(message))));
  }
}
