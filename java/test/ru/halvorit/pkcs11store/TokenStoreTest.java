package ru.halvorit.pkcs11store;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFile;

/**
 * The token-file classes on "pkcs11:" paths against a SoftHSM2 token holding a key container
 * (copied there from a folder with jarnel-tool): presence, existence of the container items,
 * erasure by path with the PIN from the object's callback(), and logout. pkcs11-tool checks
 * what is left on the token from another process.
 */
class TokenStoreTest {
  static final String PIN = "1234";
  static final String TOKEN = "pkcs11:\\softhsm2";
  static final String CONTAINER = TOKEN + "\\pse";
  static Path work;

  static String env(String name) {
    String value = System.getenv(name);
    Assumptions.assumeTrue(value != null && !value.isEmpty(),
        "SoftHSM2 test environment incomplete: " + name + " is not set; skipped");
    return value;
  }

  /** Runs a command (PIN in JARNEL_PIN); its output, or a failed test when it fails. */
  static String run(String... cmd) throws Exception {
    ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
    Map<String, String> e = pb.environment();
    e.put("JARNEL_PIN", PIN);
    Process p = pb.start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertTrue(p.waitFor(120, TimeUnit.SECONDS), String.join(" ", cmd));
    assertEquals(0, p.exitValue(), String.join(" ", cmd) + ": " + out);
    return out;
  }

  /** Labels of the token's data objects, after login when asked (the master key is private). */
  static String dataObjects(boolean login) throws Exception {
    List<String> cmd = new ArrayList<>(List.of(env("PKCS11_TOOL"), "--module", env("SOFTHSM_MODULE")));
    if (login) cmd.addAll(List.of("--login", "--pin", PIN));
    cmd.addAll(List.of("--list-objects", "--type", "data"));
    return run(cmd.toArray(new String[0]));
  }

  @BeforeAll
  static void token() throws Exception {
    Path conf = Path.of(env("SOFTHSM2_CONF"));
    Assumptions.assumeTrue(Files.isRegularFile(Path.of(env("SOFTHSM_MODULE"))),
        "SoftHSM2 module not installed; skipped");
    // The token folder is this test's own (the JVM was started with SOFTHSM2_CONF pointing here).
    work = conf.getParent();
    Path tokens = work.resolve("tokens");
    if (Files.exists(work)) run("rm", "-rf", work.toString());
    Files.createDirectories(tokens);
    Files.writeString(conf, "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    run(env("SOFTHSM2_UTIL"), "--init-token", "--free", "--label", "java", "--pin", PIN, "--so-pin", "5678");
    run(env("JARNEL_TOOL"), "pse", "create", work.resolve("folder").toString());
  }

  /** A fresh container on the token for every test, and this process logged out. */
  @BeforeEach
  void container() throws Exception {
    run(env("JARNEL_TOOL"), "pse", "erase", CONTAINER);
    run(env("JARNEL_TOOL"), "pse", "copy", work.resolve("folder").toString(), CONTAINER);
    assertTrue(new TokenFile(TOKEN).logout());
  }

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

  @Test
  void presenceAndTheContainerItemsOnTheToken() {
    assertTrue(new TokenFile(TOKEN).isInserted());
    assertTrue(new TokenFile("pkcs11:/softhsm2/pse").isInserted(), "'/' separates as well");
    assertFalse(new TokenFile("pkcs11:\\nosuchmodule").isInserted());
    for (String item : new String[] {"masks.db3", "kek.opq", "rand.opq"})
      assertTrue(new TokenFile(CONTAINER + "\\" + item).exists(), item);
    assertTrue(new TokenFile("pkcs11:/softhsm2/pse/kek.opq").exists());
    assertFalse(new TokenFile(CONTAINER + "\\store.pfx").exists());
    // Type tests and directories of pkcs11 paths follow the file-system rules: the token is no
    // directory there, so listing it from Java gives null (no key or certificate names).
    assertNull(new TokenFile(TOKEN).list());
  }

  @Test
  void deleteAsksThePinThroughCallbackAndRemovesTheObject() throws Exception {
    CountingPin pin = new CountingPin(PIN);
    TokenFile rand = new TokenFile(CONTAINER + "\\rand.opq", pin);
    assertTrue(rand.delete());
    assertTrue(pin.asked.get() >= 1, "the PIN came from callback()");
    assertFalse(rand.exists());
    String left = dataObjects(true);
    assertFalse(left.contains("rand.opq"), left);
    assertTrue(left.contains("kek.opq") && left.contains("mk.db3"), left);

    // The private master-key object goes too, and the mask after it.
    assertTrue(new TokenFile(CONTAINER + "\\mk.db3", pin).delete());
    assertTrue(new TokenFile(CONTAINER + "\\masks.db3", pin).delete());
    left = dataObjects(true);
    assertFalse(left.contains("mk.db3") || left.contains("masks.db3"), left);
    assertTrue(left.contains("kek.opq"), left);
  }

  @Test
  void wrongPinFailsAndTheObjectStays() throws Exception {
    CountingPin wrong = new CountingPin("9999");
    assertFalse(new TokenFile(CONTAINER + "\\kek.opq", wrong).delete());
    assertTrue(wrong.asked.get() >= 1);
    assertFalse(new TokenFile(CONTAINER + "\\kek.opq", PasswordSource.NONE).delete());
    assertTrue(dataObjects(false).contains("kek.opq"));
    assertTrue(new TokenFile(CONTAINER + "\\kek.opq").exists());
  }

  @Test
  void logoutMakesTheNextDeleteAskAgain() throws Exception {
    CountingPin pin = new CountingPin(PIN);
    assertTrue(new TokenFile(CONTAINER + "\\rand.opq", pin).delete());
    int first = pin.asked.get();
    assertTrue(first >= 1);
    assertTrue(new TokenFile(TOKEN, pin).logout());
    assertTrue(new TokenFile(CONTAINER + "\\kek.opq", pin).delete());
    assertTrue(pin.asked.get() > first, "asked again after logout");
    assertFalse(dataObjects(false).contains("kek.opq"));
  }
}
