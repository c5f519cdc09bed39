package ru.halvorit.demo;

import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PublicKey;
import java.security.Security;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.Date;
import java.util.HexFormat;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.jce.spec.ECNamedCurveGenParameterSpec;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.KeyContainerException;
import ru.halvorit.io.PasswordSource;

/**
 * The key store from Java, start to end: a key pair generated in a container, a certificate for
 * it from a BouncyCastle test CA, a document signed by the container and verified by
 * BouncyCastle, a key-encryption key agreed with a second party, the container exported to a
 * second carrier and its key used there, and everything erased.
 *
 * <p>usage: KeyStoreDemo CONTAINER SECOND-PARTY-CONTAINER EXPORT-TARGET [PIN]
 * (the first two containers exist; the export target is a folder or a token path).
 */
public final class KeyStoreDemo {
  private KeyStoreDemo() {}

  private static void say(String format, Object... args) {
    System.out.println("  " + String.format(format, args));
  }

  private static String hex(byte[] b, int n) {
    return HexFormat.of().formatHex(b, 0, Math.min(n, b.length)) + (b.length > n ? "..." : "");
  }

  public static void main(String[] args) throws Exception {
    if (args.length < 3) {
      System.err.println("usage: KeyStoreDemo CONTAINER SECOND-PARTY EXPORT-TARGET [PIN]");
      System.exit(2);
    }
    Security.addProvider(new BouncyCastleProvider());
    PasswordSource pin = args.length > 3 ? PasswordSource.of(args[3].toCharArray()) : null;
    KeyContainer alice = new KeyContainer(args[0], pin);
    KeyContainer bob = new KeyContainer(args[1], pin);

    System.out.println("Key pair in " + alice.getPath());
    for (String alias : alice.privateKeyAliases()) {
      say("(removing the earlier key %s)", alias);
      alice.destroyEntry(alias);
    }
    PublicKey pub = alice.generateKeyPair("CP-XA");
    say("generated a GOST R 34.10-2001 key on CryptoPro-XchA; public key (%s, %s): %s",
        pub.getAlgorithm(), pub.getClass().getSimpleName(), hex(pub.getEncoded(), 24));
    say("private keys: %s", alice.privateKeyAliases());

    System.out.println("Certificate from a BouncyCastle test CA");
    KeyPairGenerator g = KeyPairGenerator.getInstance("ECGOST3410", "BC");
    g.initialize(new ECNamedCurveGenParameterSpec("GostR3410-2001-CryptoPro-A"));
    KeyPair ca = g.generateKeyPair();
    long now = System.currentTimeMillis();
    X509Certificate cert = new JcaX509CertificateConverter().setProvider("BC").getCertificate(
        new JcaX509v3CertificateBuilder(new X500Name("CN=Demo CA"), BigInteger.valueOf(now),
            new Date(now - 60_000), new Date(now + 86_400_000L), new X500Name("CN=Alice"), pub)
            .build(new JcaContentSignerBuilder("GOST3411withECGOST3410").setProvider("BC")
                .build(ca.getPrivate())));
    cert.verify(ca.getPublic(), "BC");
    alice.addCertificate(cert);
    say("stored \"%s\" issued by \"%s\"; certificates: %s", cert.getSubjectX500Principal(),
        cert.getIssuerX500Principal(), alice.certificateAliases());
    X509Certificate back = alice.getCertificate(alice.certificateAliases().get(0));
    say("read back: %s", back.equals(cert) ? "the same certificate" : "DIFFERENT");

    System.out.println("Signature");
    byte[] document = "Transfer 100 roubles to Bob.\n".getBytes(StandardCharsets.UTF_8);
    byte[] sig = alice.signMessage(null, document);
    Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
    v.initVerify(back.getPublicKey());
    v.update(document);
    boolean ok = v.verify(sig);
    say("the container signed the document: %s", hex(sig, 16));
    say("BouncyCastle verifies it with the certificate's key: %s", ok);
    v.initVerify(back.getPublicKey());
    v.update("Transfer 900 roubles to Bob.\n".getBytes(StandardCharsets.UTF_8));
    say("and refuses it for an altered document: %s", !v.verify(sig));

    System.out.println("Key agreement (VKO GOST R 34.10-2001) with a second party");
    for (String alias : bob.privateKeyAliases()) bob.destroyEntry(alias);
    PublicKey bobPub = bob.generateKeyPair("CP-XA");
    byte[] ukm = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, (byte) 0x88};
    byte[] kekA = alice.deriveKey(null, bobPub, ukm);
    byte[] kekB = bob.deriveKey(null, pub, ukm);
    say("Alice's KEK: %s", hex(kekA, 32));
    say("Bob's KEK:   %s", hex(kekB, 32));
    say("equal: %s", Arrays.equals(kekA, kekB));

    System.out.println("Export to " + args[2]);
    KeyContainer copy = alice.exportTo(args[2], pin);
    boolean same = true;
    boolean copyOk = true;
    if (alice.isToken()) {
      // A token's private keys never leave it: the export carries the container's contents.
      copy.exportImage().wipe();
      say("the container's contents are now at %s as well (the token's keys stay on the token)",
          copy.getPath());
    } else {
      same = Arrays.equals(copy.getPublicKey().getEncoded(), pub.getEncoded());
      say("the copy holds the same key: %s; certificates there: %s", same,
          copy.certificateAliases());
      v.initVerify(pub);
      v.update(document);
      copyOk = v.verify(copy.signMessage(null, document));
      say("a signature made there verifies: %s", copyOk);
    }

    System.out.println("Erasing");
    for (KeyContainer c : new KeyContainer[] {alice, bob, copy}) {
      for (String alias : c.certificateAliases()) c.destroyEntry(alias);
      for (String alias : c.privateKeyAliases()) c.destroyEntry(alias);
      c.erase();
      say("erased %s", c.getPath());
    }
    say("asking for the erased key (the library prints its reasons on standard error):");
    try {
      alice.getPublicKey();
      say("the key is still there?");
      ok = false;
    } catch (KeyContainerException e) {
      say("the key is gone: %s", e.getMessage());
    }
    if (!(ok && same && copyOk && Arrays.equals(kekA, kekB) && back.equals(cert))) {
      System.out.println("The demo found a fault.");
      System.exit(1);
    }
  }
}
