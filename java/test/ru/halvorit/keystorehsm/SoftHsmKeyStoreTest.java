package ru.halvorit.keystorehsm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ru.halvorit.crypto.pkcs11.ContainerImage;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.PKCS11Wrapper;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;
import ru.halvorit.keystoretest.Fixtures;

/**
 * The key-store entry points on a SoftHSM2 token, for what needs no GOST mechanism: container
 * export, import and erasure, key aliases and their path rules, entry deletion, and the PIN
 * asked through callback() with the token's status handed to setError.
 */
class SoftHsmKeyStoreTest {
  static final String PIN = "1234";
  static final String TOKEN = "pkcs11:\\softhsm2";
  static final String CONTAINER = TOKEN + "\\pse";
  static final int CKR_PIN_INCORRECT = 0xA0;
  static Path work;
  /** CKA_IDs of the test's key pairs: "pse" (the container's own name) and "other". */
  static final String[] KEY_IDS = {"707365", "6f74686572"};

  static final class CountingPin implements PasswordSource {
    final AtomicInteger asked = new AtomicInteger();
    final String pin;

    CountingPin(String pin) {
      this.pin = pin;
    }

    @Override
    public char[] password(String path) {
      asked.incrementAndGet();
      return pin.toCharArray();
    }
  }

  static String tool(String... args) throws Exception {
    List<String> cmd = new ArrayList<>(List.of(Fixtures.env("PKCS11_TOOL"), "--module",
        Fixtures.env("SOFTHSM_MODULE"), "--login", "--pin", PIN));
    cmd.addAll(List.of(args));
    return Fixtures.run(cmd.toArray(new String[0]));
  }

  @BeforeAll
  static void token() throws Exception {
    Path conf = Path.of(Fixtures.env("SOFTHSM2_CONF"));
    Assumptions.assumeTrue(Files.isRegularFile(Path.of(Fixtures.env("SOFTHSM_MODULE"))),
        "SoftHSM2 module not installed; skipped");
    work = conf.getParent();
    Path tokens = work.resolve("tokens");
    if (Files.exists(work)) Fixtures.run("rm", "-rf", work.toString());
    Files.createDirectories(tokens);
    Files.writeString(conf, "directories.tokendir = " + tokens
        + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    Fixtures.run(Fixtures.env("SOFTHSM2_UTIL"), "--init-token", "--free", "--label", "java",
        "--pin", PIN, "--so-pin", "5678");
    Fixtures.createContainer(work.resolve("folder").toString());
  }

  /** A fresh container on the token for every test, no key objects, and no session logged in. */
  @BeforeEach
  void container() throws Exception {
    Map<String, String> pin = Map.of("JARNEL_PIN", PIN);
    String jt = Fixtures.env("JARNEL_TOOL");
    Fixtures.run(pin, jt, "pse", "erase", CONTAINER);
    Fixtures.run(pin, jt, "pse", "copy", work.resolve("folder").toString(), CONTAINER);
    String objects = tool("--list-objects");
    for (String id : KEY_IDS) {
      for (String type : new String[] {"privkey", "pubkey"}) {
        if (objects.contains(id)) tool("--delete-object", "--type", type, "--id", id);
      }
    }
    assertTrue(new TokenFile(TOKEN).logout());
  }

  @Test
  void exportAsksThePinAndTheImageMakesAWorkingFolderContainer() throws Exception {
    CountingPin pin = new CountingPin(PIN);
    PKCS11Wrapper w = new PKCS11Wrapper(pin);
    byte[] all = w.nativeReadPSE(CONTAINER);
    assertNotNull(all);
    assertTrue(pin.asked.get() >= 1, "the PIN came from callback()");
    assertEquals(0, w.getLastError());
    ContainerImage image = ContainerImage.parse(all);
    assertArrayEquals(Files.readAllBytes(work.resolve("folder/mk.db3")), image.getMasterKey());
    assertArrayEquals(Files.readAllBytes(work.resolve("folder/kek.opq")), image.getKek());

    // The image becomes a container in a folder, in which keys can be made and used.
    Path copy = work.resolve("copy-" + System.nanoTime());
    assertTrue(w.nativeWritePSE(copy.toString(), image.getMasterKey(), image.getMask(),
        image.getKek(), image.getRandomState()));
    KeyContainer c = new KeyContainer(copy.toString());
    byte[] spki = c.generateKeyPair("CP-A").getEncoded();
    assertArrayEquals(spki, c.getEncodedPublicKey(null));
    assertNotNull(w.nativeSign(copy.toString(), new byte[32]));
  }

  @Test
  void aWrongPinHandsTheTokensStatusToSetError() throws Exception {
    CountingPin wrong = new CountingPin("9999");
    PKCS11Wrapper w = new PKCS11Wrapper(wrong);
    assertNull(w.nativeReadPSE(CONTAINER));
    assertTrue(wrong.asked.get() >= 1);
    assertEquals(CKR_PIN_INCORRECT, w.getLastError());
    assertEquals("PSE not found or corrupted", PKCS11Wrapper.lastReason());
    // Without any PIN the token is not even asked: the status is the library's own.
    PKCS11Wrapper none = new PKCS11Wrapper(PasswordSource.NONE);
    assertNull(none.nativeReadPSE(CONTAINER));
    assertNotEquals(0, none.getLastError());
  }

  @Test
  void importChecksFirstThenReplacesAndEraseRemoves() throws Exception {
    PKCS11Wrapper w = new PKCS11Wrapper(PasswordSource.of(PIN.toCharArray()));
    ContainerImage image = ContainerImage.parse(w.nativeReadPSE(CONTAINER));
    assertTrue(w.nativeErasePSE(CONTAINER));
    assertNull(w.nativeReadPSE(CONTAINER));
    assertEquals("PSE not found or corrupted", PKCS11Wrapper.lastReason());

    byte[] badMk = image.getMasterKey();
    badMk[badMk.length - 1] ^= 1;
    assertFalse(w.nativeWritePSE(CONTAINER, badMk, image.getMask(), image.getKek(),
        image.getRandomState()));
    assertEquals(5, w.getLastError());
    assertFalse(tool("--list-objects", "--type", "data").contains("kek.opq"), "nothing written");

    assertTrue(w.nativeWritePSE(CONTAINER, image.getMasterKey(), image.getMask(),
        image.getKek(), image.getRandomState()));
    ContainerImage back = ContainerImage.parse(w.nativeReadPSE(CONTAINER));
    assertArrayEquals(image.getMasterKey(), back.getMasterKey());
    assertArrayEquals(image.getKek(), back.getKek());
  }

  @Test
  void keyAliasesFollowTheTokenPathRules() throws Exception {
    CountingPin pin = new CountingPin(PIN);
    PKCS11Wrapper w = new PKCS11Wrapper(pin);
    assertNull(w.nativePrivateKeyAliases(CONTAINER));
    assertEquals(0, w.getLastError(), "no keys is no error");
    assertTrue(pin.asked.get() >= 1, "listing keys logs in through callback()");
    assertNull(w.nativeCertificateAliases(CONTAINER));
    assertEquals(0, w.getLastError());

    // Keys are named by their CKA_ID below the token's root: the container path lists the key
    // named like it, the token's root every key.
    tool("--keypairgen", "--key-type", "EC:prime256v1", "--id", KEY_IDS[0], "--label", "a");
    tool("--keypairgen", "--key-type", "EC:prime256v1", "--id", KEY_IDS[1], "--label", "b");
    assertArrayEquals(new String[] {"pse"}, w.nativePrivateKeyAliases(CONTAINER));
    assertArrayEquals(new String[] {"pse"}, w.nativePrivateKeyAliases("pkcs11:/softhsm2/pse"));
    String[] all = w.nativePrivateKeyAliases(TOKEN);
    assertNotNull(all);
    java.util.Arrays.sort(all);
    assertArrayEquals(new String[] {"other", "pse"}, all);
    // Names with a slot index are not of the form the aliases are cut from.
    assertNull(w.nativePrivateKeyAliases("pkcs11[0]:\\softhsm2\\pse"));
    assertEquals(5, w.getLastError());
    assertEquals("internal error", PKCS11Wrapper.lastReason());
    w.clearLastError();

    KeyContainer c = new KeyContainer(TOKEN, pin);
    assertEquals(CONTAINER, c.entryPath("pse"));
    c.destroyEntry("other");
    assertEquals(List.of("pse"), c.privateKeyAliases());
    c.destroyEntry("pse");
    assertEquals(List.of(), c.privateKeyAliases());
  }

  @Test
  void keyPairsNeedTheGostMechanisms() throws Exception {
    PKCS11Wrapper w = new PKCS11Wrapper(PasswordSource.of(PIN.toCharArray()));
    assertNull(w.nativeGenerateKeyPair(CONTAINER, "ECGOST3410", "CP-A"));
    assertNotEquals(0, w.getLastError());
    assertEquals("internal error", PKCS11Wrapper.lastReason());
    assertNull(w.nativeGenerateKeyPair(CONTAINER, "ECGOST3410", "CP-Z"));
    assertEquals(0x71, w.getLastError());
    assertEquals("unknown parameters", PKCS11Wrapper.lastReason());
  }
}
