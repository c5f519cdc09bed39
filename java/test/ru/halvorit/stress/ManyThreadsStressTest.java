package ru.halvorit.stress;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryPoolMXBean;
import java.lang.management.ThreadInfo;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Queue;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Test;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.KeyContainerException;
import ru.halvorit.crypto.pkcs11.PKCS11Wrapper;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;
import ru.halvorit.keystoretest.Fixtures;

/**
 * Sixteen threads for a bounded time mixing token-file reads and writes (in folders and on the
 * simulated ruToken, eToken, iButton and eToken R2) with key-store calls (generate, sign, derive,
 * aliases, certificates) on containers of their own and on shared ones (a folder container, one
 * on the GOST PKCS#11 test module, and one on each of the eToken, iButton and eToken R2).
 * Deliberately failing calls are interleaved with good ones and must report their own reasons.
 * Afterwards every file holds what was last written to it, every signature has verified with
 * BouncyCastle, nothing hung (a watchdog turns a hang into a failure with a thread
 * dump) and the process's native memory did not keep growing.
 *
 * <p>JARNEL_STRESS_SECONDS sets the measured run's length; JARNEL_LONG=1 (scripts/test --long)
 * makes it a minute; otherwise it takes a few seconds.
 */
class ManyThreadsStressTest {
  static final int THREADS = 16;
  static final String READER = "Aktiv Co. ruToken 0";
  static final String RUTOKEN_PIN = "12345678";
  static final String GOST_PIN = "1234";
  static final String GOST_CONTAINER = "pkcs11:\\pkcs11gost\\pse";
  static final String ETOKEN_READER = "Aladdin Token JC 1";
  static final String ETOKEN_PIN = "1234567890";
  static final String IBUTTON_PORT = "COM1";
  static final String ETR2_READER = "0";
  /** Native memory may grow this much between the warm-up and the end; a leak per call exceeds it. */
  static final long NATIVE_GROWTH_BOUND = 64L << 20;

  static {
    Fixtures.CURVES.size();  // installs BouncyCastle
  }

  static long seconds() {
    String s = System.getenv("JARNEL_STRESS_SECONDS");
    if (s != null && !s.isEmpty()) return Long.parseLong(s);
    return "1".equals(System.getenv("JARNEL_LONG")) ? 60 : 3;
  }

  static boolean underAsan() {
    String preload = System.getenv("LD_PRELOAD");
    return preload != null && preload.contains("libasan");
  }

  // ---- self-checking file records -----------------------------------------------------------

  /** A record: writer, sequence number, payload, and a SHA-256 of all of it at the end. */
  static byte[] record(int thread, long seq, Random random) throws Exception {
    byte[] payload = new byte[16 + random.nextInt(600)];
    random.nextBytes(payload);
    ByteBuffer b = ByteBuffer.allocate(16 + payload.length + 32);
    b.putInt(0x5354524e).putInt(thread).putLong(seq).put(payload);
    b.put(MessageDigest.getInstance("SHA-256").digest(Arrays.copyOf(b.array(), b.position())));
    return b.array();
  }

  /** Whether data is a whole record (not torn, not mixed from two writers). */
  static boolean isRecord(byte[] data) throws Exception {
    if (data.length < 16 + 32 || ByteBuffer.wrap(data).getInt() != 0x5354524e) return false;
    byte[] body = Arrays.copyOf(data, data.length - 32);
    return Arrays.equals(MessageDigest.getInstance("SHA-256").digest(body),
        Arrays.copyOfRange(data, data.length - 32, data.length));
  }

  static void write(String path, byte[] data, boolean privateFile, PasswordSource pin)
      throws IOException {
    try (TokenFileOutputStream out = new TokenFileOutputStream(path, privateFile, pin)) {
      out.write(data);
    }
  }

  static byte[] read(String path, PasswordSource pin) throws IOException {
    try (TokenFileInputStream in = new TokenFileInputStream(path, pin)) {
      return in.readAllBytes();
    }
  }

  // ---- the carriers -------------------------------------------------------------------------

  /**
   * A simulated carrier besides the ruToken and where the threads' files and containers lie on
   * it. The formats take the thread's number (and for files a small index); a thread's files
   * and container are its own, the shared ones are written and used by every thread. keyFile
   * names a container's own key file in its key folder (the alias that deletes the key).
   */
  record Carrier(String name, String ownFile, String sharedFile, String missingFile,
      String ownContainer, String sharedContainer, String keyFile, PasswordSource pin,
      boolean privateFiles) {
    String own(int thread, int k) {
      return String.format(ownFile, thread, k);
    }

    String shared(int k) {
      return String.format(sharedFile, k);
    }

    String missing(int thread) {
      return String.format(missingFile, thread);
    }

    String container(int thread) {
      return String.format(ownContainer, thread);
    }
  }

  /** A shared container on a carrier and its key, made before the run. */
  record SharedContainer(KeyContainer container, PublicKey key, List<String> aliases) {}

  static final PasswordSource ETOKEN_SOURCE = PasswordSource.of(ETOKEN_PIN.toCharArray());
  static final int FILES_PER_CARRIER = 2;
  // Identifier paths (eToken, eToken R2) are groups of four hex digits; iButton names are one to
  // four characters with a decimal extension. The eToken R2 simulator keeps no PIN: its private
  // files are marked only, and the iButton has none.
  static final List<Carrier> CARRIERS = List.of(
      new Carrier("eToken", "eToken:1001/2%02x%d", "eToken:1002/300%d", "eToken:1001/2f%02x",
          "eToken:11%02x", "eToken:1200", "0001", ETOKEN_SOURCE, true),
      new Carrier("iButton", "iButton:\\T%d\\F.%d", "iButton:\\SHR\\S.%d",
          "iButton:\\T99\\M%d.1", "iButton:\\C%d", "iButton:\\SHC", "key .001", null,
          false),
      new Carrier("eToken R2", "eTR2:\\1001\\2%02x%d", "eTR2:\\1002\\300%d",
          "eTR2:\\1001\\2f%02x", "eTR2:\\11%02x", "eTR2:\\1200", "0001", null, true));

  final PasswordSource rutokenPin = PasswordSource.of(RUTOKEN_PIN.toCharArray());
  final PasswordSource gostPin = PasswordSource.of(GOST_PIN.toCharArray());
  Path tmp;
  KeyContainer sharedFolder;
  PublicKey sharedFolderKey;
  KeyContainer sharedToken;
  PublicKey sharedTokenKey;
  List<String> sharedFolderAliases;
  List<String> sharedTokenAliases;
  final List<SharedContainer> sharedCarrier = new ArrayList<>();
  final Queue<String> failures = new ConcurrentLinkedQueue<>();
  final AtomicLong calls = new AtomicLong();
  final AtomicLong signaturesVerified = new AtomicLong();
  final AtomicLong failuresChecked = new AtomicLong();

  void setUp() throws Exception {
    tmp = Files.createTempDirectory("stress");
    String simTool = Fixtures.env("JARNEL_SIM_TOOL");
    Files.createDirectories(Path.of(Fixtures.env("JARNEL_SIM_DIR")));
    Fixtures.run(simTool, "rutoken", "reset");
    Fixtures.run(simTool, "rutoken", "insert", READER);
    Fixtures.run(simTool, "etoken", "reset");
    Fixtures.run(simTool, "etoken", "insert", ETOKEN_READER);
    Fixtures.run(simTool, "ibutton", "reset");
    Fixtures.run(simTool, "ibutton", "insert", IBUTTON_PORT);
    Fixtures.run(simTool, "etr2", "reset");
    Fixtures.run(simTool, "etr2", "insert", ETR2_READER);

    Path gostDir = Path.of(Fixtures.env("PKCS11GOST_DIR"));
    if (Files.exists(gostDir)) Fixtures.run("rm", "-rf", gostDir.toString());
    Files.createDirectories(gostDir.getParent());
    String forToken = tmp.resolve("for-token").toString();
    Fixtures.createContainer(forToken);
    Fixtures.run(Map.of("JARNEL_PIN", GOST_PIN), Fixtures.env("JARNEL_TOOL"), "pse", "copy",
        forToken, GOST_CONTAINER);
    sharedToken = new KeyContainer(GOST_CONTAINER, gostPin);
    sharedTokenKey = sharedToken.generateKeyPair("CP-XA");
    sharedTokenAliases = sharedToken.privateKeyAliases();

    String shared = tmp.resolve("shared").toString();
    Fixtures.createContainer(shared);
    sharedFolder = new KeyContainer(shared);
    sharedFolderKey = sharedFolder.generateKeyPair("CP-XA");
    sharedFolder.addCertificate(Fixtures.issue(sharedFolderKey, "shared"));
    sharedFolderAliases = sharedFolder.privateKeyAliases();
    // Every shared file exists before the run (checked after it), and the token directory of
    // the threads' own files too, so that a deliberate read of a missing file fails alike
    // before and during the run.
    Files.createDirectories(tmp.resolve("files/shared"));
    Random random = new Random(1);
    for (int k = 0; k < 3; k++) {
      write(tmp.resolve("files/shared/s" + k).toString(), record(-1, k, random), false, null);
    }
    for (int k = 0; k < 2; k++) {
      write(String.format("ruToken:1002/%04x", 0x3000 + k), record(-1, k, random), false,
          rutokenPin);
    }
    write("ruToken:1001/2fff", record(-1, 0, random), false, rutokenPin);

    // On each further carrier: its shared files, a file in the directory of the threads' own
    // files (so that a deliberate read of a missing one fails alike throughout), and a shared
    // container with a key, copied there from an empty folder container.
    String empty = tmp.resolve("empty").toString();
    Fixtures.createContainer(empty);
    for (Carrier c : CARRIERS) {
      for (int k = 0; k < FILES_PER_CARRIER; k++) {
        write(c.shared(k), record(-1, k, random), false, c.pin());
      }
      write(c.own(99, 0), record(-1, 0, random), false, c.pin());
      KeyContainer container = new KeyContainer(empty).exportTo(c.sharedContainer(), c.pin());
      PublicKey key = container.generateKeyPair("CP-XA");
      sharedCarrier.add(new SharedContainer(container, key, container.privateKeyAliases()));
    }
  }

  // ---- one worker ---------------------------------------------------------------------------

  /** What a thread owns and what it last wrote, checked after the run. */
  final class Worker {
    final int id;
    final Random random;
    final KeyContainer own;
    PublicKey ownKey;
    final Map<String, byte[]> lastWritten = new HashMap<>();
    final Map<String, PasswordSource> pinOf = new HashMap<>();
    /** The thread's container on one of the further carriers (by its number) and its key. */
    final Carrier carrier;
    final KeyContainer ownCarrier;
    PublicKey ownCarrierKey;
    List<String> ownCarrierAliases;
    /** Deliberately failing calls with the failure each gave when made alone, before the run. */
    final List<Object[]> failing = new ArrayList<>();
    long seq;

    Worker(int id) throws Exception {
      this.id = id;
      this.random = new Random(0x5eed0000L + id);
      String dir = tmp.resolve("c" + id).toString();
      Fixtures.createContainer(dir);
      own = new KeyContainer(dir);
      ownKey = own.generateKeyPair(id % 2 == 0 ? "CP-A" : "CP-XA");
      Files.createDirectories(tmp.resolve("files/t" + id));
      String missing = tmp.resolve("files/t" + id + "/missing-" + id).toString();
      String tokenMissing = String.format("ruToken:1001/%04x", 0x2f00 + id);
      KeyContainer none = new KeyContainer(tmp.resolve("none-" + id).toString());
      failing("read " + missing, () -> read(missing, null));
      failing("read " + tokenMissing, () -> read(tokenMissing, rutokenPin));
      failing("generate on CP-Q" + id,
          () -> own.generateKeyPair(null, KeyContainer.ALGORITHM, "CP-Q" + id));
      failing("generate RSA", () -> own.generateKeyPair(null, "RSA", "CP-A"));
      failing("sign in " + none.getPath(), () -> none.signHash(null, new byte[32]));
      failing("aliases of " + none.getPath(), () -> none.privateKeyAliases());

      carrier = CARRIERS.get(id % CARRIERS.size());
      ownCarrier = new KeyContainer(tmp.resolve("empty").toString())
          .exportTo(carrier.container(id), carrier.pin());
      ownCarrierKey = ownCarrier.generateKeyPair(id % 2 == 0 ? "CP-A" : "CP-XA");
      ownCarrierAliases = ownCarrier.privateKeyAliases();
      for (Carrier c : CARRIERS) {
        String carrierMissing = c.missing(id);
        failing("read " + carrierMissing, () -> read(carrierMissing, c.pin()));
      }
      KeyContainer noneOnCarrier = new KeyContainer(carrier.container(64 + id), carrier.pin());
      failing("sign in " + noneOnCarrier.getPath(),
          () -> noneOnCarrier.signHash(null, new byte[32]));
    }

    void failing(String what, Call c) {
      Object alone = call(c);
      assertTrue(alone instanceof Exception, what + " was expected to fail: " + alone);
      failing.add(new Object[] {what, c, describe(alone), alone});
    }

    void run(long deadline) {
      while (System.nanoTime() < deadline && failures.size() < 50) {
        int op = random.nextInt(17);
        try {
          step(op);
          calls.incrementAndGet();
        } catch (Throwable t) {
          failures.add("thread " + id + " op " + op + ": " + t);
        }
      }
    }

    void step(int op) throws Exception {
      switch (op) {
        case 0 -> ownFile(tmp.resolve("files/t" + id + "/f" + random.nextInt(4)).toString(),
            false, null);
        case 1 -> ownFile(String.format("ruToken:1001/%04x", 0x2000 + id * 4 + random.nextInt(2)),
            id % 2 == 0, rutokenPin);
        case 2 -> sharedFile(tmp.resolve("files/shared/s" + random.nextInt(3)).toString(),
            false, null);
        case 3 -> sharedFile(String.format("ruToken:1002/%04x", 0x3000 + random.nextInt(2)),
            false, rutokenPin);
        case 4 -> {
          // A container takes a new key only in place of none: the old one is deleted first.
          for (String alias : own.privateKeyAliases()) own.destroyEntry(alias);
          ownKey = own.generateKeyPair(random.nextBoolean() ? "CP-A" : "CP-XA");
          signAndVerify(own, ownKey);
        }
        case 5 -> signAndVerify(own, ownKey);
        case 6 -> signAndVerify(random.nextBoolean() ? sharedFolder : sharedToken, null);
        case 7 -> derive(random.nextInt(3));
        case 8 -> {
          assertEquals(sharedFolderAliases, sharedFolder.privateKeyAliases());
          assertEquals(sharedTokenAliases, sharedToken.privateKeyAliases());
          assertEquals(1, own.privateKeyAliases().size());
          assertArrayEquals(sharedTokenKey.getEncoded(), sharedToken.getEncodedPublicKey(null));
        }
        case 9 -> certificates();
        case 12 -> {
          Carrier c = CARRIERS.get(random.nextInt(CARRIERS.size()));
          ownFile(c.own(id, random.nextInt(FILES_PER_CARRIER)), c.privateFiles() && id % 2 == 0,
              c.pin());
        }
        case 13 -> {
          Carrier c = CARRIERS.get(random.nextInt(CARRIERS.size()));
          sharedFile(c.shared(random.nextInt(FILES_PER_CARRIER)), false, c.pin());
        }
        case 14 -> {
          if (random.nextInt(4) == 0) {
            ownCarrier.destroyEntry(carrier.keyFile());
            ownCarrierKey = ownCarrier.generateKeyPair(random.nextBoolean() ? "CP-A" : "CP-XA");
          }
          signAndVerify(ownCarrier, ownCarrierKey);
          assertEquals(ownCarrierAliases, ownCarrier.privateKeyAliases(), ownCarrier.getPath());
        }
        case 15 -> {
          SharedContainer s = sharedCarrier.get(random.nextInt(sharedCarrier.size()));
          signAndVerify(s.container(), s.key());
          assertEquals(s.aliases(), s.container().privateKeyAliases(), s.container().getPath());
        }
        case 16 -> {
          if (random.nextBoolean()) {
            derive(ownCarrier, ownCarrierKey);
          } else {
            SharedContainer s = sharedCarrier.get(random.nextInt(sharedCarrier.size()));
            derive(s.container(), s.key());
          }
        }
        default -> deliberateFailure();
      }
    }

    void ownFile(String path, boolean privateFile, PasswordSource pin) throws Exception {
      byte[] data = record(id, seq++, random);
      write(path, data, privateFile, pin);
      lastWritten.put(path, data);
      pinOf.put(path, pin);
      assertArrayEquals(data, read(path, pin), path);
    }

    void sharedFile(String path, boolean privateFile, PasswordSource pin) throws Exception {
      write(path, record(id, seq++, random), privateFile, pin);
      byte[] back = read(path, pin);
      assertTrue(isRecord(back), path + " holds a torn or mixed record (" + back.length + " bytes)");
    }

    /** Signs a random message with the container's own key; BouncyCastle verifies it. */
    void signAndVerify(KeyContainer c, PublicKey key) throws Exception {
      if (key == null) key = c == sharedToken ? sharedTokenKey : sharedFolderKey;
      byte[] message = new byte[1 + random.nextInt(300)];
      random.nextBytes(message);
      byte[] sig = c.signMessage(null, message);
      Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
      v.initVerify(Fixtures.bcPublic(key.getEncoded()));
      v.update(message);
      assertTrue(v.verify(sig), "signature by " + c.getPath() + " does not verify");
      signaturesVerified.incrementAndGet();
    }

    void derive(int which) throws Exception {
      derive(which == 0 ? sharedToken : which == 1 ? sharedFolder : own,
          which == 0 ? sharedTokenKey : which == 1 ? sharedFolderKey : ownKey);
    }

    /** Key agreement with the container's key against a fresh BouncyCastle pair. */
    void derive(KeyContainer c, PublicKey key) throws Exception {
      String set = Fixtures.CURVES.entrySet().stream()
          .filter(e -> e.getValue().equals(curveOf(key))).findFirst().orElseThrow().getKey();
      KeyPair peer = Fixtures.bcKeyPair(set);
      byte[] ukm = new byte[8];
      random.nextBytes(ukm);
      assertArrayEquals(Fixtures.bcVko(peer.getPrivate(), Fixtures.bcPublic(key.getEncoded()), ukm),
          c.deriveKey(null, peer.getPublic(), ukm), "VKO with " + c.getPath());
    }

    String curveOf(PublicKey key) {
      try {
        org.bouncycastle.jce.interfaces.ECPublicKey k =
            (org.bouncycastle.jce.interfaces.ECPublicKey) Fixtures.bcPublic(key.getEncoded());
        return ((org.bouncycastle.jce.spec.ECNamedCurveParameterSpec) k.getParameters()).getName();
      } catch (Exception e) {
        throw new IllegalStateException(e);
      }
    }

    /** Adds a certificate of the own key, finds it among the aliases, reads it, deletes it. */
    void certificates() throws Exception {
      X509Certificate cert = Fixtures.issue(ownKey, "thread " + id);
      own.addCertificate(cert);
      List<String> aliases = own.certificateAliases();
      assertEquals(1, aliases.size(), aliases.toString());
      assertEquals(cert, own.getCertificate(aliases.get(0)));
      own.destroyEntry(aliases.get(0));
      assertEquals(List.of(), own.certificateAliases());
      assertEquals(1, sharedFolder.certificateAliases().size());
    }

    /** A call that fails must fail as it did alone: its own path, reason and status. */
    void deliberateFailure() {
      Object[] f = failing.get(random.nextInt(failing.size()));
      Object now = call((Call) f[1]);
      assertEquals(f[2], describe(now), "thread " + id + ": " + f[0]);
      if (now instanceof KeyContainerException e) {
        // The thread's last reason is still its own after the other threads' calls.
        assertEquals(e.getReason(), PKCS11Wrapper.lastReason(), "thread " + id + ": " + f[0]);
      }
      failuresChecked.incrementAndGet();
    }
  }

  interface Call {
    Object run() throws Exception;
  }

  static Object call(Call c) {
    try {
      return c.run();
    } catch (Exception e) {
      return e;
    }
  }

  static String describe(Object result) {
    if (result instanceof KeyContainerException e) {
      return e.getClass().getName() + ": " + e.getMessage() + " | " + e.getReason() + " | "
          + e.getDetail() + " | " + e.getErrorCode();
    }
    if (result instanceof Exception e) return e.getClass().getName() + ": " + e.getMessage();
    return "success: " + result;
  }

  // ---- the run ------------------------------------------------------------------------------

  /** Runs every worker until the deadline; a hang past the watchdog's bound fails with a dump. */
  void round(List<Worker> workers, long millis) throws Exception {
    long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
    CountDownLatch done = new CountDownLatch(workers.size());
    List<Thread> threads = new ArrayList<>();
    for (Worker w : workers) {
      Thread t = new Thread(() -> {
        try {
          w.run(deadline);
        } finally {
          done.countDown();
        }
      }, "stress-" + w.id);
      t.setDaemon(true);  // a hung worker must not keep the JVM alive after the failure
      threads.add(t);
      t.start();
    }
    long bound = millis + TimeUnit.MINUTES.toMillis(underAsan() ? 10 : 3);
    if (!done.await(bound, TimeUnit.MILLISECONDS)) {
      StringBuilder dump = new StringBuilder();
      for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
        dump.append(info);
        for (StackTraceElement e : info.getStackTrace()) dump.append("\tat ").append(e).append('\n');
      }
      System.err.println(dump);
      fail("workers still running " + bound + " ms after they started: a deadlock?\n" + dump);
    }
  }

  /** The process's resident memory not held by the Java heap or the JVM's own pools. */
  static long nativeBytes() throws Exception {
    for (int i = 0; i < 3; i++) {
      System.gc();
      Thread.sleep(100);
    }
    long rss = 0;
    for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
      if (line.startsWith("VmRSS:")) rss = Long.parseLong(line.replaceAll("\\D", "")) * 1024;
    }
    long pools = 0;
    for (MemoryPoolMXBean p : ManagementFactory.getMemoryPoolMXBeans()) {
      pools += p.getUsage().getCommitted();
    }
    return rss - pools;
  }

  @Test
  void sixteenThreadsMixCarriersAndKeyStore() throws Exception {
    setUp();
    List<Worker> workers = new ArrayList<>();
    for (int i = 0; i < THREADS; i++) workers.add(new Worker(i));
    long seconds = seconds();

    round(workers, Math.max(1000, seconds * 1000 / 4));  // warm-up
    long before = nativeBytes();
    round(workers, seconds * 1000);
    long after = nativeBytes();

    System.out.printf("stress: %d threads, %d s, %d calls, %d signatures verified, "
        + "%d deliberate failures checked; native memory %d KiB after warm-up, %d KiB at the end%n",
        THREADS, seconds, calls.get(), signaturesVerified.get(), failuresChecked.get(),
        before >> 10, after >> 10);
    if (!failures.isEmpty()) fail(failures.size() + " failures:\n" + String.join("\n", failures));

    // Every file holds what was last written to it; shared files hold one whole record.
    for (Worker w : workers) {
      for (Map.Entry<String, byte[]> e : w.lastWritten.entrySet()) {
        assertArrayEquals(e.getValue(), read(e.getKey(), w.pinOf.get(e.getKey())), e.getKey());
      }
      assertArrayEquals(w.ownKey.getEncoded(), w.own.getEncodedPublicKey(null), w.own.getPath());
      assertArrayEquals(w.ownCarrierKey.getEncoded(), w.ownCarrier.getEncodedPublicKey(null),
          w.ownCarrier.getPath());
    }
    for (Carrier c : CARRIERS) {
      for (int k = 0; k < FILES_PER_CARRIER; k++) {
        assertTrue(isRecord(read(c.shared(k), c.pin())), c.shared(k));
      }
    }
    for (SharedContainer s : sharedCarrier) {
      assertArrayEquals(s.key().getEncoded(), s.container().getEncodedPublicKey(null),
          s.container().getPath());
    }
    for (int k = 0; k < 3; k++) {
      String p = tmp.resolve("files/shared/s" + k).toString();
      assertTrue(isRecord(read(p, null)), p);
    }
    for (int k = 0; k < 2; k++) {
      String p = String.format("ruToken:1002/%04x", 0x3000 + k);
      assertTrue(isRecord(read(p, rutokenPin)), p);
    }
    assertArrayEquals(sharedFolderKey.getEncoded(), sharedFolder.getEncodedPublicKey(null));
    assertArrayEquals(sharedTokenKey.getEncoded(), sharedToken.getEncodedPublicKey(null));
    assertTrue(signaturesVerified.get() > 0 && failuresChecked.get() > 0, "the run did work");

    if (underAsan()) {
      System.out.println("stress: native memory bound not checked under AddressSanitizer "
          + "(its quarantine holds freed blocks)");
    } else {
      assertTrue(after - before < NATIVE_GROWTH_BOUND, String.format(
          "native memory grew by %d KiB during the run", (after - before) >> 10));
    }
  }
}
