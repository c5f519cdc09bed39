package ru.halvorit.pkeytest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.math.BigInteger;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.Security;
import java.security.Signature;
import java.security.interfaces.ECPublicKey;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Keys of key containers made with 'jarnel-tool key' against BouncyCastle's JCA provider: the
 * SubjectPublicKeyInfo parses to the point the key file's public key holds, and 'key sign'
 * output verifies as "GOST3411withECGOST3410" over the same file, on every CryptoPro set.
 */
class KeyBouncyCastleTest {
  private Path dir;

  @BeforeEach
  void setUp() throws IOException {
    Security.addProvider(new BouncyCastleProvider());
    dir = Files.createTempDirectory("pkeytest");
  }

  @AfterEach
  void tearDown() throws IOException {
    try (Stream<Path> s = Files.walk(dir)) {
      s.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
    }
  }

  private static String tool() {
    String libs = System.getenv("JARNEL_LIBRARY_PATH");
    return new File(new File(libs.split(":")[0]).getParentFile(), "bin/jarnel-tool").getPath();
  }

  private static byte[] run(String... args) throws IOException, InterruptedException {
    List<String> cmd = new ArrayList<>();
    cmd.add(tool());
    cmd.addAll(Arrays.asList(args));
    Process p = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    try (InputStream in = p.getInputStream()) {
      in.transferTo(out);
    }
    assertEquals(0, p.waitFor(), "jarnel-tool " + String.join(" ", args));
    return out.toByteArray();
  }

  private static BigInteger le(byte[] b, int off) {
    byte[] r = new byte[32];
    for (int i = 0; i < 32; i++) r[i] = b[off + 31 - i];
    return new BigInteger(1, r);
  }

  @Test
  void publicKeyAndSignaturesAgreeWithBouncyCastle() throws Exception {
    byte[] data = new byte[5000];
    new SecureRandom().nextBytes(data);
    Path msg = dir.resolve("msg");
    Files.write(msg, data);
    for (String set : new String[] {"CP-A", "CP-B", "CP-C", "CP-XA", "CP-XB"}) {
      String pse = dir.resolve("pse-" + set).toString();
      run("pse", "create", pse);
      run("key", "gen", pse, "--paramset", set);
      byte[] spki = run("key", "pub", pse);
      PublicKey pub = KeyFactory.getInstance("ECGOST3410", "BC").generatePublic(new X509EncodedKeySpec(spki));
      // The point: X_le || Y_le, the last 64 bytes of the SubjectPublicKeyInfo.
      ECPublicKey ec = (ECPublicKey) pub;
      assertEquals(le(spki, spki.length - 64), ec.getW().getAffineX(), set);
      assertEquals(le(spki, spki.length - 32), ec.getW().getAffineY(), set);

      Path sigFile = dir.resolve("sig-" + set);
      run("key", "sign", pse, "--out", sigFile.toString(), msg.toString());
      byte[] sig = Files.readAllBytes(sigFile);
      assertEquals(64, sig.length);
      Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
      v.initVerify(pub);
      v.update(data);
      assertTrue(v.verify(sig), "BouncyCastle verifies key sign, " + set);
      // The same signature does not fit another message.
      v.initVerify(pub);
      v.update(data, 1, data.length - 1);
      assertFalse(v.verify(sig), set);
      // Signing twice gives two signatures of one key.
      byte[] again = run("key", "sign", pse, msg.toString());
      assertFalse(Arrays.equals(sig, again));
      v.initVerify(pub);
      v.update(data);
      assertTrue(v.verify(again), set);
    }
  }
}
