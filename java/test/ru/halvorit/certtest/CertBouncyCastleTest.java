package ru.halvorit.certtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.Security;
import java.security.spec.ECGenParameterSpec;
import java.text.SimpleDateFormat;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Date;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TimeZone;
import java.util.Vector;
import org.bouncycastle.asn1.ASN1Encodable;
import org.bouncycastle.asn1.ASN1EncodableVector;
import org.bouncycastle.asn1.ASN1GeneralizedTime;
import org.bouncycastle.asn1.ASN1Integer;
import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.DERIA5String;
import org.bouncycastle.asn1.DERNull;
import org.bouncycastle.asn1.DEROctetString;
import org.bouncycastle.asn1.DERPrintableString;
import org.bouncycastle.asn1.DERSequence;
import org.bouncycastle.asn1.DERSet;
import org.bouncycastle.asn1.DERTaggedObject;
import org.bouncycastle.asn1.DERUTF8String;
import org.bouncycastle.asn1.cryptopro.CryptoProObjectIdentifiers;
import org.bouncycastle.asn1.misc.MiscObjectIdentifiers;
import org.bouncycastle.asn1.misc.NetscapeCertType;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.asn1.x509.AccessDescription;
import org.bouncycastle.asn1.x509.AlgorithmIdentifier;
import org.bouncycastle.asn1.x509.Attribute;
import org.bouncycastle.asn1.x509.AuthorityInformationAccess;
import org.bouncycastle.asn1.x509.AuthorityKeyIdentifier;
import org.bouncycastle.asn1.x509.BasicConstraints;
import org.bouncycastle.asn1.x509.CRLDistPoint;
import org.bouncycastle.asn1.x509.CRLNumber;
import org.bouncycastle.asn1.x509.CRLReason;
import org.bouncycastle.asn1.x509.CertPolicyId;
import org.bouncycastle.asn1.x509.CertificatePolicies;
import org.bouncycastle.asn1.x509.DistributionPoint;
import org.bouncycastle.asn1.x509.DistributionPointName;
import org.bouncycastle.asn1.x509.ExtendedKeyUsage;
import org.bouncycastle.asn1.x509.Extension;
import org.bouncycastle.asn1.x509.ExtensionsGenerator;
import org.bouncycastle.asn1.x509.GeneralName;
import org.bouncycastle.asn1.x509.GeneralNames;
import org.bouncycastle.asn1.x509.GeneralSubtree;
import org.bouncycastle.asn1.x509.IssuingDistributionPoint;
import org.bouncycastle.asn1.x509.KeyPurposeId;
import org.bouncycastle.asn1.x509.KeyUsage;
import org.bouncycastle.asn1.x509.NameConstraints;
import org.bouncycastle.asn1.x509.NoticeReference;
import org.bouncycastle.asn1.x509.PolicyConstraints;
import org.bouncycastle.asn1.x509.PolicyInformation;
import org.bouncycastle.asn1.x509.PolicyMappings;
import org.bouncycastle.asn1.x509.PolicyQualifierId;
import org.bouncycastle.asn1.x509.PolicyQualifierInfo;
import org.bouncycastle.asn1.x509.ReasonFlags;
import org.bouncycastle.asn1.x509.SubjectDirectoryAttributes;
import org.bouncycastle.asn1.x509.SubjectPublicKeyInfo;
import org.bouncycastle.asn1.x509.UserNotice;
import org.bouncycastle.asn1.x509.qualified.BiometricData;
import org.bouncycastle.asn1.x509.qualified.TypeOfBiometricData;
import org.bouncycastle.cert.X509CRLHolder;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cert.X509v2CRLBuilder;
import org.bouncycastle.cert.X509v3CertificateBuilder;
import org.bouncycastle.cert.jcajce.JcaX509ExtensionUtils;
import org.bouncycastle.crypto.digests.GOST3411Digest;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.operator.ContentSigner;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Certificates and a CRL made by BouncyCastle (GOST R 34.10-2001 keys, every extension type the
 * key store converts that BouncyCastle can build) are read by jarnel-tool cert show / crl show;
 * each converted field is checked against what BouncyCastle put in. The key fingerprint is
 * BouncyCastle's GOST R 34.11-94 over the subjectPublicKey bits, with the S-box of the
 * library's "RUS-HASH" (its default hash S-box, neither the test nor the CryptoPro parameter
 * set) given explicitly, and the 32 bytes reversed (the library prints digests most significant
 * byte first).
 */
class CertBouncyCastleTest {
  // The default hash S-box, rows S1..S8 (S1 on the lowest four bits), as BouncyCastle takes it.
  private static final byte[] RUS_HASH_SBOX = {
    0xB, 0xD, 0x7, 0x0, 0x5, 0x4, 0x1, 0xF, 0x9, 0xE, 0x6, 0xA, 0x3, 0xC, 0x8, 0x2,
    0x1, 0x2, 0x7, 0x9, 0xD, 0xB, 0xF, 0x8, 0xE, 0xC, 0x4, 0x0, 0x5, 0x6, 0xA, 0x3,
    0x5, 0x1, 0xD, 0x3, 0xF, 0x6, 0xC, 0x7, 0x9, 0x8, 0xB, 0x2, 0x4, 0xE, 0x0, 0xA,
    0xD, 0x1, 0xB, 0x4, 0x9, 0xC, 0xE, 0x0, 0x7, 0x5, 0x8, 0xF, 0x6, 0x2, 0xA, 0x3,
    0x2, 0xD, 0xA, 0xF, 0x9, 0xB, 0x3, 0x7, 0x8, 0xC, 0x5, 0xE, 0x6, 0x0, 0x1, 0x4,
    0x0, 0x4, 0x6, 0xC, 0x5, 0x3, 0x8, 0xD, 0xA, 0xB, 0xF, 0x2, 0x1, 0x9, 0x7, 0xE,
    0x1, 0x3, 0xC, 0x8, 0xA, 0x6, 0xB, 0x0, 0x2, 0xE, 0x7, 0x9, 0xF, 0x4, 0x5, 0xD,
    0xA, 0xB, 0x6, 0x0, 0x1, 0x3, 0x4, 0x7, 0xE, 0xD, 0x5, 0xF, 0x8, 0x2, 0x9, 0xC,
  };
  private static final String SIGNER = "GOST3411WITHECGOST3410";

  private static KeyPair caKeys, userKeys;
  private static Path work;

  @BeforeAll
  static void keys() throws Exception {
    Security.addProvider(new BouncyCastleProvider());
    KeyPairGenerator g = KeyPairGenerator.getInstance("ECGOST3410", "BC");
    g.initialize(new ECGenParameterSpec("GostR3410-2001-CryptoPro-A"));
    caKeys = g.generateKeyPair();
    g.initialize(new ECGenParameterSpec("GostR3410-2001-CryptoPro-XchA"));
    userKeys = g.generateKeyPair();
    work = Files.createTempDirectory("certbc");
  }

  private static String tool() {
    String libs = System.getenv("JARNEL_LIBRARY_PATH").split(":")[0];
    return new File(new File(libs).getParentFile(), "bin/jarnel-tool").getPath();
  }

  // The key=value lines of a show command.
  private static Map<String, String> show(String what, byte[] der) throws Exception {
    Path file = Files.createTempFile(work, what, ".der");
    Files.write(file, der);
    List<String> cmd = new ArrayList<>(Arrays.asList(tool(), what, "show", file.toString()));
    Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    try (InputStream in = p.getInputStream()) {
      in.transferTo(out);
    }
    String text = out.toString(StandardCharsets.UTF_8);
    assertEquals(0, p.waitFor(), text);
    Map<String, String> m = new LinkedHashMap<>();
    for (String line : text.split("\n")) {
      int eq = line.indexOf('=');
      if (eq > 0) m.put(line.substring(0, eq), line.substring(eq + 1));
    }
    return m;
  }

  // The ext.N prefix of the extension with this object number.
  private static String ext(Map<String, String> m, String prefix, int nid) {
    for (Map.Entry<String, String> e : m.entrySet())
      if (e.getKey().matches(prefix + "ext\\.\\d+") && e.getValue().startsWith(nid + " ")) return e.getKey();
    throw new AssertionError("no extension " + nid + " under '" + prefix + "' in " + m);
  }

  private static String hex(byte[] b) {
    StringBuilder sb = new StringBuilder();
    for (byte x : b) sb.append(String.format("%02X", x & 0xFF));
    return sb.toString();
  }

  private static String fingerprint(SubjectPublicKeyInfo spki) {
    byte[] bits = spki.getPublicKeyData().getBytes();
    GOST3411Digest d = new GOST3411Digest(RUS_HASH_SBOX);
    d.update(bits, 0, bits.length);
    byte[] h = new byte[32];
    d.doFinal(h, 0);
    byte[] r = new byte[32];
    for (int i = 0; i < 32; i++) r[i] = h[31 - i];
    return hex(r);
  }

  private static String time(Date d) {
    SimpleDateFormat f = new SimpleDateFormat("yyyy-MM-dd HH:mm:ss");
    f.setTimeZone(TimeZone.getTimeZone("UTC"));
    return f.format(d);
  }

  private static Date at(String utc) throws Exception {
    SimpleDateFormat f = new SimpleDateFormat("yyyyMMddHHmmss");
    f.setTimeZone(TimeZone.getTimeZone("UTC"));
    return f.parse(utc);
  }

  private static ContentSigner signer() throws Exception {
    return new JcaContentSignerBuilder(SIGNER).setProvider("BC").build(caKeys.getPrivate());
  }

  private static final X500Name CA = new X500Name("C=RU,O=Bouncy Org,CN=Bouncy CA");
  private static final X500Name USER = new X500Name("C=RU,O=Bouncy Org,CN=Иван Петров");

  private static X509CertificateHolder caCert() throws Exception {
    JcaX509ExtensionUtils u = new JcaX509ExtensionUtils();
    X509v3CertificateBuilder b = new X509v3CertificateBuilder(CA, BigInteger.valueOf(0x1001),
        at("20240229123456"), at("20340101000000"), CA,
        SubjectPublicKeyInfo.getInstance(caKeys.getPublic().getEncoded()));
    b.addExtension(Extension.basicConstraints, true, new BasicConstraints(1));
    b.addExtension(Extension.keyUsage, true, new KeyUsage(KeyUsage.keyCertSign | KeyUsage.cRLSign));
    b.addExtension(Extension.subjectKeyIdentifier, false, u.createSubjectKeyIdentifier(caKeys.getPublic()));
    b.addExtension(Extension.nameConstraints, true, new NameConstraints(
        new GeneralSubtree[] {new GeneralSubtree(new GeneralName(GeneralName.dNSName, ".example.ru"), BigInteger.ZERO, null)},
        new GeneralSubtree[] {new GeneralSubtree(new GeneralName(GeneralName.rfc822Name, "bad.example.ru"))}));
    b.addExtension(Extension.policyConstraints, true, new PolicyConstraints(BigInteger.ONE, BigInteger.valueOf(2)));
    b.addExtension(Extension.inhibitAnyPolicy, true, new ASN1Integer(0));
    b.addExtension(Extension.policyMappings, false,
        new PolicyMappings(new CertPolicyId[] {CertPolicyId.getInstance(new ASN1ObjectIdentifier("1.2.3.4"))},
            new CertPolicyId[] {CertPolicyId.getInstance(new ASN1ObjectIdentifier("1.2.3.5"))}));
    return b.build(signer());
  }

  @Test
  void certificatesAreReadWithEveryExtension() throws Exception {
    X509CertificateHolder ca = caCert();
    Map<String, String> c = show("cert", ca.getEncoded());
    assertEquals("1", c.get("self_issued"));
    assertEquals("271 ECR3410-CP", c.get("key_algorithm"));
    assertEquals("256", c.get("key_size"));
    assertEquals("0", c.get("params_missing"));
    assertEquals("273 CryptoPro-GostR3411-94-with-GostR3410-2001", c.get("signature_algorithm"));
    assertEquals("1001", c.get("serial"));
    assertEquals("2024-02-29 12:34:56 wday=4 yday=59 isdst=0", c.get("not_before"));
    assertEquals(fingerprint(ca.getSubjectPublicKeyInfo()), c.get("fingerprint"));
    String bc = ext(c, "", 87);
    assertEquals("1", c.get(bc + ".ca"));
    assertEquals("1", c.get(bc + ".path_length"));
    assertTrue(c.get(bc).endsWith("critical=1 parsed=1 unsupported=0"));
    assertEquals("0x00000060", c.get(ext(c, "", 83) + ".mask"));  // keyCertSign (5), cRLSign (6)
    String nc = ext(c, "", 204);
    assertEquals("DNS:.example.ru min=0 max=-1", c.get(nc + ".permitted.0"));
    assertEquals("email:bad.example.ru min=0 max=-1", c.get(nc + ".excluded.0"));
    String pc = ext(c, "", 203);
    assertEquals("1", c.get(pc + ".require_explicit_policy"));
    assertEquals("2", c.get(pc + ".inhibit_policy_mapping"));
    assertEquals("0", c.get(ext(c, "", 200) + ".integer"));
    assertEquals("1.2.3.4 1.2.3.5", c.get(ext(c, "", 202) + ".mapping.0"));
    String caSki = c.get(ext(c, "", 82) + ".buffer");

    JcaX509ExtensionUtils u = new JcaX509ExtensionUtils();
    X509v3CertificateBuilder b = new X509v3CertificateBuilder(CA, new BigInteger("-5"),
        at("20240101000000"), at("20250101000000"), USER,
        SubjectPublicKeyInfo.getInstance(userKeys.getPublic().getEncoded()));
    b.addExtension(Extension.keyUsage, true, new KeyUsage(KeyUsage.digitalSignature | KeyUsage.nonRepudiation | KeyUsage.decipherOnly));
    b.addExtension(Extension.extendedKeyUsage, false, new ExtendedKeyUsage(new KeyPurposeId[] {
        KeyPurposeId.id_kp_clientAuth, KeyPurposeId.getInstance(new ASN1ObjectIdentifier("1.2.643.2.2.34.6"))}));
    b.addExtension(Extension.subjectAlternativeName, false, new GeneralNames(new GeneralName[] {
        new GeneralName(GeneralName.rfc822Name, "user@example.ru"),
        new GeneralName(GeneralName.dNSName, "host.example.ru"),
        new GeneralName(GeneralName.uniformResourceIdentifier, "http://u.example.ru/"),
        new GeneralName(GeneralName.iPAddress, "10.1.2.3"),
        new GeneralName(GeneralName.iPAddress, "10.0.0.0/255.255.0.0"),
        new GeneralName(GeneralName.directoryName, "C=RU,CN=Dir"),
        new GeneralName(GeneralName.registeredID, "1.2.3.4")}));
    b.addExtension(Extension.issuerAlternativeName, false,
        new GeneralNames(new GeneralName(GeneralName.rfc822Name, "ca@example.ru")));
    b.addExtension(Extension.authorityKeyIdentifier, false, new AuthorityKeyIdentifier(
        u.createSubjectKeyIdentifier(caKeys.getPublic()).getKeyIdentifier(),
        new GeneralNames(new GeneralName(CA)), BigInteger.valueOf(0x1001)));
    b.addExtension(Extension.subjectKeyIdentifier, false, u.createSubjectKeyIdentifier(userKeys.getPublic()));
    b.addExtension(Extension.basicConstraints, false, new BasicConstraints(false));
    ASN1EncodableVector numbers = new ASN1EncodableVector();
    for (int i = 1; i <= 3; i++) numbers.add(new ASN1Integer(i));
    NoticeReference ref = new NoticeReference("Bouncy Org", numbers);
    b.addExtension(Extension.certificatePolicies, false, new CertificatePolicies(new PolicyInformation(
        new ASN1ObjectIdentifier("1.2.3.44"), new DERSequence(new ASN1Encodable[] {
            new PolicyQualifierInfo("http://cps.example.ru/"),
            new PolicyQualifierInfo(PolicyQualifierId.id_qt_unotice, new UserNotice(ref, "Explicit text"))}))));
    DistributionPointName dpn = new DistributionPointName(
        new GeneralNames(new GeneralName(GeneralName.uniformResourceIdentifier, "http://crl.example.ru/ca.crl")));
    b.addExtension(Extension.cRLDistributionPoints, false, new CRLDistPoint(new DistributionPoint[] {
        new DistributionPoint(dpn, new ReasonFlags(ReasonFlags.keyCompromise | ReasonFlags.cACompromise),
            new GeneralNames(new GeneralName(CA)))}));
    b.addExtension(Extension.freshestCRL, false, new CRLDistPoint(new DistributionPoint[] {
        new DistributionPoint(new DistributionPointName(DistributionPointName.NAME_RELATIVE_TO_CRL_ISSUER,
            new DERSet(new org.bouncycastle.asn1.x500.AttributeTypeAndValue(
                new ASN1ObjectIdentifier("2.5.4.3"), new DERUTF8String("Delta")))), null, null)}));
    b.addExtension(Extension.authorityInfoAccess, false, new AuthorityInformationAccess(new AccessDescription[] {
        new AccessDescription(AccessDescription.id_ad_ocsp,
            new GeneralName(GeneralName.uniformResourceIdentifier, "http://ocsp.example.ru/"))}));
    b.addExtension(Extension.subjectInfoAccess, false, new DERSequence(new AccessDescription(
        new ASN1ObjectIdentifier("1.3.6.1.5.5.7.48.5"),
        new GeneralName(GeneralName.uniformResourceIdentifier, "http://repo.example.ru/"))));
    b.addExtension(Extension.privateKeyUsagePeriod, false, new DERSequence(new ASN1Encodable[] {
        new DERTaggedObject(false, 0, new ASN1GeneralizedTime("20240101000000Z")),
        new DERTaggedObject(false, 1, new ASN1GeneralizedTime("20240701000000Z"))}));
    Vector<Attribute> attrs = new Vector<>();
    attrs.add(new Attribute(new ASN1ObjectIdentifier("1.3.6.1.5.5.7.9.4"),
        new DERSet(new DERPrintableString("RU"))));
    b.addExtension(Extension.subjectDirectoryAttributes, false, new SubjectDirectoryAttributes(attrs));
    b.addExtension(Extension.biometricInfo, false, new DERSequence(new BiometricData(
        new TypeOfBiometricData(TypeOfBiometricData.PICTURE),
        new AlgorithmIdentifier(CryptoProObjectIdentifiers.gostR3411, DERNull.INSTANCE),
        new DEROctetString(new byte[] {1, 2, 3}), new DERIA5String("http://bio.example.ru/"))));
    b.addExtension(MiscObjectIdentifiers.netscapeCertType, false,
        new NetscapeCertType(NetscapeCertType.sslClient | NetscapeCertType.smime));
    b.addExtension(MiscObjectIdentifiers.netscapeCertComment, false, new DERIA5String("bouncy comment"));
    b.addExtension(new ASN1ObjectIdentifier("1.2.643.100.111"), false, new DERUTF8String("Подпись 1.0"));
    b.addExtension(new ASN1ObjectIdentifier("1.2.3.4.5.6.7"), false, DERNull.INSTANCE);
    X509CertificateHolder user = b.build(signer());

    Map<String, String> m = show("cert", user.getEncoded());
    assertEquals("-1", m.get("self_issued"));
    assertEquals("FB", m.get("serial"));
    assertEquals("C = RU, O = Bouncy Org, CN = Иван Петров", m.get("subject"));
    assertEquals(c.get("subject_hash"), m.get("issuer_hash"));
    assertEquals(fingerprint(user.getSubjectPublicKeyInfo()), m.get("fingerprint"));
    assertNotEquals(c.get("fingerprint"), m.get("fingerprint"));
    assertEquals(time(user.getNotAfter()) + " wday=3 yday=0 isdst=0", m.get("not_after"));
    // digitalSignature (0), nonRepudiation (1), decipherOnly (8: the second byte).
    assertEquals("0x00000103", m.get(ext(m, "", 83) + ".mask"));
    String eku = ext(m, "", 126);
    assertEquals("clientAuth (1.3.6.1.5.5.7.3.2)", m.get(eku + ".object.0"));
    assertTrue(m.get(eku + ".object.1").endsWith("(1.2.643.2.2.34.6)"));
    String san = ext(m, "", 85);
    assertEquals("email:user@example.ru", m.get(san + ".name.0"));
    assertEquals("DNS:host.example.ru", m.get(san + ".name.1"));
    assertEquals("URI:http://u.example.ru/", m.get(san + ".name.2"));
    assertEquals("IP:10.1.2.3", m.get(san + ".name.3"));
    assertEquals("IP:10.0.0.0/255.255.0.0", m.get(san + ".name.4"));
    assertEquals("dirName:C=RU, CN=Dir", m.get(san + ".name.5"));
    assertEquals("RID:1.2.3.4", m.get(san + ".name.6"));
    assertEquals("email:ca@example.ru", m.get(ext(m, "", 86) + ".name.0"));
    String aki = ext(m, "", 90);
    assertEquals(caSki, m.get(aki + ".key_id"));
    assertEquals("dirName:C=RU, O=Bouncy Org, CN=Bouncy CA", m.get(aki + ".issuer.0"));
    assertEquals("1001", m.get(aki + ".serial"));
    String userBc = ext(m, "", 87);
    assertEquals("0", m.get(userBc + ".ca"));
    assertEquals("-1", m.get(userBc + ".path_length"));
    String cp = ext(m, "", 89);
    assertEquals("1.2.3.44 (1.2.3.44)", m.get(cp + ".policy.0"));
    assertEquals("164 id-qt-cps (1.3.6.1.5.5.7.2.1)", m.get(cp + ".policy.0.qualifier.0"));
    assertEquals("http://cps.example.ru/", m.get(cp + ".policy.0.qualifier.0.cps"));
    assertEquals("165 id-qt-unotice (1.3.6.1.5.5.7.2.2)", m.get(cp + ".policy.0.qualifier.1"));
    assertEquals("Bouncy Org", m.get(cp + ".policy.0.qualifier.1.organization"));
    assertEquals("1,2,3", m.get(cp + ".policy.0.qualifier.1.numbers"));
    assertEquals("Explicit text", m.get(cp + ".policy.0.qualifier.1.explicit_text"));
    String dp = ext(m, "", 103);
    assertEquals("URI:http://crl.example.ru/ca.crl", m.get(dp + ".point.0.full_name.0"));
    assertEquals("0x00000006", m.get(dp + ".point.0.reasons"));
    assertEquals("dirName:C=RU, O=Bouncy Org, CN=Bouncy CA", m.get(dp + ".point.0.crl_issuer.0"));
    assertEquals("CN=Delta", m.get(ext(m, "", 201) + ".point.0.relative_name"));
    assertEquals("OCSP (1.3.6.1.5.5.7.48.1) URI:http://ocsp.example.ru/", m.get(ext(m, "", 206) + ".access.0"));
    assertEquals("caRepository (1.3.6.1.5.5.7.48.5) URI:http://repo.example.ru/", m.get(ext(m, "", 207) + ".access.0"));
    String pk = ext(m, "", 84);
    assertEquals("2024-01-01 00:00:00 wday=1 yday=0 isdst=0", m.get(pk + ".not_before"));
    assertEquals("2024-07-01 00:00:00 wday=1 yday=182 isdst=0", m.get(pk + ".not_after"));
    assertEquals("id-pda-countryOfCitizenship (1.3.6.1.5.5.7.9.4): RU", m.get(ext(m, "", 220) + ".attribute.0"));
    String bio = ext(m, "", 340);
    assertEquals("0", m.get(bio + ".biometric.0.type"));
    assertEquals("288", m.get(bio + ".biometric.0.hash_algorithm"));  // CryptoPro GOST R 34.11-94
    assertEquals("010203", m.get(bio + ".biometric.0.hash"));
    assertEquals("http://bio.example.ru/", m.get(bio + ".biometric.0.source"));
    // sslClient is bit 0, smime bit 2.
    assertEquals("0x00000005", m.get(ext(m, "", 71) + ".mask"));
    assertEquals("bouncy comment", m.get(ext(m, "", 78) + ".text"));
    assertEquals("Подпись 1.0", m.get(ext(m, "", 343) + ".text"));
    String unknown = ext(m, "", 0);
    assertEquals("0 1.2.3.4.5.6.7 critical=0 parsed=0 unsupported=1", m.get(unknown));
  }

  @Test
  void crlIsReadWithEntriesAndExtensions() throws Exception {
    X509CertificateHolder ca = caCert();
    JcaX509ExtensionUtils u = new JcaX509ExtensionUtils();
    X509v2CRLBuilder b = new X509v2CRLBuilder(CA, at("20240301000000"));
    b.setNextUpdate(at("20240401000000"));
    ExtensionsGenerator e1 = new ExtensionsGenerator();
    e1.addExtension(Extension.reasonCode, false, CRLReason.lookup(CRLReason.keyCompromise));
    e1.addExtension(Extension.invalidityDate, false, new ASN1GeneralizedTime("20240215101112Z"));
    b.addCRLEntry(BigInteger.valueOf(0x31), at("20240220000000"), e1.generate());
    ExtensionsGenerator e2 = new ExtensionsGenerator();
    e2.addExtension(Extension.reasonCode, false, CRLReason.lookup(CRLReason.certificateHold));
    e2.addExtension(Extension.instructionCode, false, new ASN1ObjectIdentifier("1.2.840.10040.2.3"));
    e2.addExtension(Extension.certificateIssuer, true,
        new GeneralNames(new GeneralName(new X500Name("CN=Other CA"))));
    b.addCRLEntry(BigInteger.valueOf(0x8032), at("20240221000000"), e2.generate());
    b.addCRLEntry(BigInteger.valueOf(0x33), at("20240222000000"), CRLReason.superseded);
    b.addExtension(Extension.cRLNumber, false, new CRLNumber(BigInteger.valueOf(300)));
    b.addExtension(Extension.deltaCRLIndicator, true, new CRLNumber(BigInteger.valueOf(299)));
    b.addExtension(Extension.issuingDistributionPoint, true, new IssuingDistributionPoint(
        new DistributionPointName(new GeneralNames(
            new GeneralName(GeneralName.uniformResourceIdentifier, "http://crl.example.ru/ca.crl"))),
        false, true, new ReasonFlags(ReasonFlags.superseded), true, false));
    b.addExtension(Extension.authorityKeyIdentifier, false, u.createAuthorityKeyIdentifier(caKeys.getPublic()));
    X509CRLHolder crl = b.build(signer());

    Map<String, String> m = show("crl", crl.getEncoded());
    assertEquals("1", m.get("version"));
    assertEquals("273 CryptoPro-GostR3411-94-with-GostR3410-2001", m.get("signature_algorithm"));
    assertEquals("2024-03-01 00:00:00 wday=5 yday=60 isdst=0", m.get("this_update"));
    assertEquals("2024-04-01 00:00:00 wday=1 yday=91 isdst=0", m.get("next_update"));
    assertEquals("C = RU, O = Bouncy Org, CN = Bouncy CA", m.get("issuer"));
    assertEquals("3", m.get("revoked_count"));
    assertEquals("31", m.get("revoked.0.serial"));
    assertEquals("2024-02-20 00:00:00 wday=2 yday=50 isdst=0", m.get("revoked.0.date"));
    assertEquals("1", m.get(ext(m, "revoked\\.0\\.", 141) + ".integer"));
    assertEquals("2024-02-15 10:11:12 wday=4 yday=45 isdst=0", m.get(ext(m, "revoked\\.0\\.", 142) + ".time"));
    assertEquals("008032", m.get("revoked.1.serial"));
    assertEquals("6", m.get(ext(m, "revoked\\.1\\.", 141) + ".integer"));
    assertEquals("holdInstructionReject (1.2.840.10040.2.3)", m.get(ext(m, "revoked\\.1\\.", 214) + ".object"));
    String ci = ext(m, "revoked\\.1\\.", 215);
    assertTrue(m.get(ci).contains("critical=1"));
    assertEquals("dirName:CN=Other CA", m.get(ci + ".name.0"));
    assertEquals("4", m.get(ext(m, "revoked\\.2\\.", 141) + ".integer"));
    assertEquals("012C", m.get(ext(m, "", 88) + ".buffer"));
    assertEquals("012B", m.get(ext(m, "", 140) + ".buffer"));
    String idp = ext(m, "", 213);
    assertEquals("URI:http://crl.example.ru/ca.crl", m.get(idp + ".full_name.0"));
    assertEquals("0", m.get(idp + ".only_user_certificates"));
    assertEquals("1", m.get(idp + ".only_ca_certificates"));
    assertEquals("0x00000010", m.get(idp + ".only_some_reasons"));
    assertEquals("1", m.get(idp + ".indirect_crl"));
    assertEquals("0", m.get(idp + ".only_attribute_certificates"));
    Map<String, String> c = show("cert", ca.getEncoded());
    assertEquals(c.get(ext(c, "", 82) + ".buffer"), m.get(ext(m, "", 90) + ".key_id"));
  }

  private static byte[] run(String... args) throws Exception {
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

  /**
   * A key made here (jarnel-tool key gen in a container folder), certified by a BouncyCastle CA:
   * the certificate's key fingerprint read here is the one key gen printed for the key record,
   * and BouncyCastle's own hash of the key bits agrees.
   */
  @Test
  void certificateForAKeyMadeHereCarriesTheKeysFingerprint() throws Exception {
    for (String set : new String[] {"CP-A", "CP-XB"}) {
      String pse = work.resolve("own-" + set).toString();
      run("pse", "create", pse);
      String gen = new String(run("key", "gen", pse, "--paramset", set), StandardCharsets.UTF_8).trim();
      assertTrue(gen.matches("fingerprint=[0-9a-f]{64}"), gen);
      String keyFp = gen.substring("fingerprint=".length()).toUpperCase();
      SubjectPublicKeyInfo spki = SubjectPublicKeyInfo.getInstance(run("key", "pub", pse));
      X509CertificateHolder cert = new X509v3CertificateBuilder(CA, BigInteger.valueOf(0x77),
          at("20250101000000"), at("20350101000000"), new X500Name("CN=Own Key " + set), spki)
          .build(signer());
      Map<String, String> m = show("cert", cert.getEncoded());
      assertEquals(keyFp, m.get("fingerprint"), set);
      assertEquals(fingerprint(spki), keyFp, set);
    }
  }
}
