package ru.halvorit.keystoretest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.Security;
import java.security.cert.X509Certificate;
import java.security.spec.X509EncodedKeySpec;
import java.util.Date;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.crypto.agreement.ECVKOAgreement;
import org.bouncycastle.crypto.digests.GOST3411Digest;
import org.bouncycastle.crypto.params.ECPrivateKeyParameters;
import org.bouncycastle.crypto.params.ECPublicKeyParameters;
import org.bouncycastle.crypto.params.ParametersWithUKM;
import org.bouncycastle.jcajce.provider.asymmetric.util.ECUtil;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.jce.spec.ECNamedCurveGenParameterSpec;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;
import org.junit.jupiter.api.Assumptions;

/** What the key-store tests share: BouncyCastle as the peer, jarnel-tool to make containers. */
public final class Fixtures {
  private Fixtures() {}

  static {
    Security.addProvider(new BouncyCastleProvider());
  }

  /** BouncyCastle's curve names of the parameter-set names the key store takes. */
  public static final Map<String, String> CURVES = Map.of(
      "CP-A", "GostR3410-2001-CryptoPro-A",
      "CP-B", "GostR3410-2001-CryptoPro-B",
      "CP-C", "GostR3410-2001-CryptoPro-C",
      "CP-XA", "GostR3410-2001-CryptoPro-XchA",
      "CP-XB", "GostR3410-2001-CryptoPro-XchB");

  public static String env(String name) {
    String value = System.getenv(name);
    Assumptions.assumeTrue(value != null && !value.isEmpty(), name + " is not set; skipped");
    return value;
  }

  /** Runs a command and fails the test when it fails; its output. */
  public static String run(Map<String, String> extraEnv, String... cmd) throws Exception {
    ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
    pb.environment().putAll(extraEnv);
    Process p = pb.start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertTrue(p.waitFor(120, TimeUnit.SECONDS), String.join(" ", cmd));
    assertEquals(0, p.exitValue(), String.join(" ", cmd) + ": " + out);
    return out;
  }

  public static String run(String... cmd) throws Exception {
    return run(Map.of(), cmd);
  }

  /** Makes a key container at path with jarnel-tool. */
  public static void createContainer(String path) throws Exception {
    run(env("JARNEL_TOOL"), "pse", "create", path);
  }

  public static PublicKey bcPublic(byte[] spki) throws Exception {
    return KeyFactory.getInstance("ECGOST3410", "BC").generatePublic(new X509EncodedKeySpec(spki));
  }

  public static KeyPair bcKeyPair(String set) throws Exception {
    KeyPairGenerator g = KeyPairGenerator.getInstance("ECGOST3410", "BC");
    g.initialize(new ECNamedCurveGenParameterSpec(CURVES.get(set)));
    return g.generateKeyPair();
  }

  /** The GOST R 34.11-94 hash of message, most significant byte first (as nativeSign takes it). */
  public static byte[] hashForSigning(byte[] message) {
    GOST3411Digest d = new GOST3411Digest();
    d.update(message, 0, message.length);
    byte[] h = new byte[32];
    d.doFinal(h, 0);
    for (int i = 0; i < 16; i++) {
      byte t = h[i];
      h[i] = h[31 - i];
      h[31 - i] = t;
    }
    return h;
  }

  /** BouncyCastle's RFC 4357 VKO key-encryption key of its private key with a public key. */
  public static byte[] bcVko(PrivateKey priv, PublicKey pub, byte[] ukm) throws Exception {
    ECPrivateKeyParameters p = (ECPrivateKeyParameters) ECUtil.generatePrivateKeyParameter(priv);
    ECPublicKeyParameters q = (ECPublicKeyParameters) ECUtil.generatePublicKeyParameter(pub);
    ECVKOAgreement a = new ECVKOAgreement(new GOST3411Digest());
    a.init(new ParametersWithUKM(p, ukm));
    return a.calculateAgreement(q);
  }

  /** A certificate for subjectKey issued by a BouncyCastle test CA. */
  public static X509Certificate issue(PublicKey subjectKey, String subject) throws Exception {
    KeyPair ca = bcKeyPair("CP-A");
    long now = System.currentTimeMillis();
    JcaX509v3CertificateBuilder b = new JcaX509v3CertificateBuilder(new X500Name("CN=Test CA"),
        BigInteger.valueOf(now), new Date(now - 60_000), new Date(now + 86_400_000L),
        new X500Name("CN=" + subject), subjectKey);
    return new JcaX509CertificateConverter().setProvider("BC").getCertificate(
        b.build(new JcaContentSignerBuilder("GOST3411withECGOST3410").setProvider("BC")
            .build(ca.getPrivate())));
  }
}
