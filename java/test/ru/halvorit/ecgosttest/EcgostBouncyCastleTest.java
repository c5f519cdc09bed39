package ru.halvorit.ecgosttest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.bouncycastle.asn1.x9.X9ECParameters;
import org.bouncycastle.crypto.digests.GOST3411Digest;
import org.bouncycastle.crypto.params.ECDomainParameters;
import org.bouncycastle.crypto.params.ECPrivateKeyParameters;
import org.bouncycastle.crypto.params.ECPublicKeyParameters;
import org.bouncycastle.crypto.params.ParametersWithRandom;
import org.bouncycastle.crypto.signers.ECGOST3410Signer;
import org.bouncycastle.asn1.cryptopro.ECGOST3410NamedCurves;
import org.bouncycastle.math.ec.ECPoint;
import org.junit.jupiter.api.Test;

/**
 * GOST R 34.10-2001 signatures between jarnel-tool and BouncyCastle, both ways, on every
 * CryptoPro parameter set. The message digest is GOST R 34.11-94 with the CryptoPro parameters
 * on both sides.
 */
class EcgostBouncyCastleTest {
  private static final String[][] SETS = {
    {"A", "GostR3410-2001-CryptoPro-A"},
    {"B", "GostR3410-2001-CryptoPro-B"},
    {"C", "GostR3410-2001-CryptoPro-C"},
    {"XA", "GostR3410-2001-CryptoPro-XchA"},
    {"XB", "GostR3410-2001-CryptoPro-XchB"},
  };

  private static String tool() {
    String libs = System.getenv("JARNEL_LIBRARY_PATH");
    return new File(new File(libs).getParentFile(), "bin/jarnel-tool").getPath();
  }

  private static String run(String... args) throws IOException, InterruptedException {
    List<String> cmd = new ArrayList<>();
    cmd.add(tool());
    cmd.addAll(Arrays.asList(args));
    Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    try (InputStream in = p.getInputStream()) {
      in.transferTo(out);
    }
    p.waitFor();
    return out.toString(StandardCharsets.US_ASCII).trim();
  }

  private static byte[] unhex(String s) {
    byte[] b = new byte[s.length() / 2];
    for (int i = 0; i < b.length; i++) b[i] = (byte) Integer.parseInt(s.substring(2 * i, 2 * i + 2), 16);
    return b;
  }

  private static String hex(byte[] b) {
    StringBuilder sb = new StringBuilder();
    for (byte x : b) sb.append(String.format("%02x", x & 0xFF));
    return sb.toString();
  }

  private static byte[] reverse(byte[] b) {
    byte[] r = new byte[b.length];
    for (int i = 0; i < b.length; i++) r[i] = b[b.length - 1 - i];
    return r;
  }

  private static byte[] fixed(BigInteger v) {
    byte[] b = v.toByteArray();
    byte[] out = new byte[32];
    int n = Math.min(b.length, 32);
    System.arraycopy(b, b.length - n, out, 32 - n, n);
    return out;
  }

  @Test
  void signaturesVerifyBothWays() throws Exception {
    Path msg = Files.createTempFile("ecgost", ".bin");
    try {
      byte[] data = new byte[3000];
      new SecureRandom().nextBytes(data);
      Files.write(msg, data);
      GOST3411Digest digest = new GOST3411Digest();
      digest.update(data, 0, data.length);
      byte[] h = new byte[32];
      digest.doFinal(h, 0);

      for (String[] set : SETS) {
        X9ECParameters x9 = ECGOST3410NamedCurves.getByNameX9(set[1]);
        ECDomainParameters dom = new ECDomainParameters(x9.getCurve(), x9.getG(), x9.getN());
        String[] keys = run("ecgost", "keygen", "--paramset", set[0]).split("\n");
        String d = keys[0].substring(2), q = keys[1].substring(2);
        byte[] qb = unhex(q);
        BigInteger x = new BigInteger(1, reverse(Arrays.copyOfRange(qb, 0, 32)));
        BigInteger y = new BigInteger(1, reverse(Arrays.copyOfRange(qb, 32, 64)));
        ECPoint point = x9.getCurve().createPoint(x, y);
        ECPublicKeyParameters pub = new ECPublicKeyParameters(point, dom);
        ECPrivateKeyParameters priv = new ECPrivateKeyParameters(new BigInteger(1, unhex(d)), dom);

        // Made here, checked by BouncyCastle: s || r.
        byte[] sig = unhex(run("ecgost", "sign", "--paramset", set[0], "--key", d, msg.toString()));
        ECGOST3410Signer verifier = new ECGOST3410Signer();
        verifier.init(false, pub);
        BigInteger s = new BigInteger(1, Arrays.copyOfRange(sig, 0, 32));
        BigInteger r = new BigInteger(1, Arrays.copyOfRange(sig, 32, 64));
        assertTrue(verifier.verifySignature(h, r, s), "BouncyCastle verifies ours, " + set[0]);

        // Made by BouncyCastle, checked here.
        ECGOST3410Signer signer = new ECGOST3410Signer();
        signer.init(true, new ParametersWithRandom(priv, new SecureRandom()));
        BigInteger[] rs = signer.generateSignature(h);
        byte[] theirs = new byte[64];
        System.arraycopy(fixed(rs[1]), 0, theirs, 0, 32);
        System.arraycopy(fixed(rs[0]), 0, theirs, 32, 32);
        assertEquals("valid",
            run("ecgost", "verify", "--paramset", set[0], "--pub", q, "--sig", hex(theirs), msg.toString()),
            "ours verifies BouncyCastle's, " + set[0]);
      }
    } finally {
      Files.deleteIfExists(msg);
    }
  }
}
