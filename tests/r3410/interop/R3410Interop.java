// The BouncyCastle side of the GOST R 34.10-94 exchange (see r3410_interop.cpp for the file
// format). BouncyCastle's GOST3410Signer reads the digest least significant byte first, while
// the native signer reads it most significant byte first: the digest written to and read from
// the files is the native order, and it is reversed for BouncyCastle. Layout 274 carries
// s then r, each 32 big-endian bytes, the same order as BouncyCastle's GOST3411withGOST3410.
import java.io.BufferedReader;
import java.io.FileReader;
import java.io.IOException;
import java.io.PrintWriter;
import java.math.BigInteger;
import java.security.SecureRandom;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;

import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.cryptopro.CryptoProObjectIdentifiers;
import org.bouncycastle.asn1.cryptopro.GOST3410NamedParameters;
import org.bouncycastle.asn1.cryptopro.GOST3410ParamSetParameters;
import org.bouncycastle.crypto.params.GOST3410Parameters;
import org.bouncycastle.crypto.params.GOST3410PrivateKeyParameters;
import org.bouncycastle.crypto.params.GOST3410PublicKeyParameters;
import org.bouncycastle.crypto.params.ParametersWithRandom;
import org.bouncycastle.crypto.signers.GOST3410Signer;
import org.bouncycastle.util.BigIntegers;
import org.bouncycastle.util.encoders.Hex;

public final class R3410Interop {
  private static final SecureRandom RANDOM = new SecureRandom();
  private static int failures = 0;

  // A generator that hands out fixed bytes: makes BouncyCastle's k known.
  private static final class FixedRandom extends SecureRandom {
    private static final long serialVersionUID = 1L;
    private final byte[] bytes;

    FixedRandom(byte[] bytes) {
      this.bytes = bytes;
    }

    @Override
    public void nextBytes(byte[] out) {
      System.arraycopy(bytes, 0, out, 0, out.length);
    }
  }

  private static byte[] reverse(byte[] b) {
    byte[] r = b.clone();
    for (int i = 0; i < r.length / 2; ++i) {
      byte t = r[i];
      r[i] = r[r.length - 1 - i];
      r[r.length - 1 - i] = t;
    }
    return r;
  }

  private static String hex(BigInteger v, int len) {
    return Hex.toHexString(BigIntegers.asUnsignedByteArray(len, v));
  }

  private static BigInteger num(String hex) {
    return new BigInteger(1, Hex.decode(hex));
  }

  private static void expect(boolean ok, String what) {
    if (!ok) {
      System.err.println("FAILED: " + what);
      ++failures;
    }
  }

  public static void main(String[] args) throws IOException {
    Map<Integer, ASN1ObjectIdentifier> named = Map.of(
        276, CryptoProObjectIdentifiers.gostR3410_94_CryptoPro_A,
        277, CryptoProObjectIdentifiers.gostR3410_94_CryptoPro_B,
        280, CryptoProObjectIdentifiers.gostR3410_94_CryptoPro_XchA);
    Map<Integer, GOST3410Parameters> sets = new LinkedHashMap<>();
    int verified = 0;
    try (BufferedReader in = new BufferedReader(new FileReader(args[0]))) {
      for (String line; (line = in.readLine()) != null; ) {
        String[] f = line.split(" ");
        int nid = Integer.parseInt(f[1]);
        if (f[0].equals("PARAMS")) {
          GOST3410Parameters p = new GOST3410Parameters(num(f[2]), num(f[3]), num(f[4]));
          sets.put(nid, p);
          if (named.containsKey(nid)) {
            GOST3410ParamSetParameters bc = GOST3410NamedParameters.getByOID(named.get(nid));
            expect(bc.getP().equals(p.getP()) && bc.getQ().equals(p.getQ())
                && bc.getA().equals(p.getA()), "set " + nid + " equals BouncyCastle's");
          }
        } else if (f[0].equals("SIG")) {
          GOST3410Parameters p = sets.get(nid);
          byte[] digest = Hex.decode(f[3]);
          byte[] sig = Hex.decode(f[4]);
          BigInteger s = new BigInteger(1, Arrays.copyOfRange(sig, 0, 32));
          BigInteger r = new BigInteger(1, Arrays.copyOfRange(sig, 32, 64));
          GOST3410Signer v = new GOST3410Signer();
          v.init(false, new GOST3410PublicKeyParameters(num(f[2]), p));
          expect(v.verifySignature(reverse(digest), r, s), "BouncyCastle verifies " + line);
          digest[0] ^= 1;
          expect(!v.verifySignature(reverse(digest), r, s), "changed digest refused " + line);
          ++verified;
        }
      }
    }
    expect(sets.size() == 7 && verified > 0, "native file complete");

    try (PrintWriter out = new PrintWriter(args[1])) {
      for (Map.Entry<Integer, GOST3410Parameters> e : sets.entrySet()) {
        GOST3410Parameters p = e.getValue();
        BigInteger q = p.getQ();
        BigInteger x = BigIntegers.createRandomInRange(BigInteger.ONE, q.subtract(BigInteger.ONE), RANDOM);
        BigInteger y = p.getA().modPow(x, p.getP());
        GOST3410PrivateKeyParameters priv = new GOST3410PrivateKeyParameters(x, p);
        for (int i = 0; i < 4; ++i) {
          byte[] m = new byte[32];
          RANDOM.nextBytes(m);
          GOST3410Signer signer = new GOST3410Signer();
          signer.init(true, new ParametersWithRandom(priv, RANDOM));
          BigInteger[] rs = signer.generateSignature(m);
          out.println("SIG " + e.getKey() + " " + hex(y, 128) + " " + Hex.toHexString(reverse(m))
              + " " + hex(rs[1], 32) + hex(rs[0], 32));
        }
        // Known answers: BouncyCastle signs with a k of our choosing.
        for (int i = 0; i < 2; ++i) {
          byte[] m = new byte[32];
          RANDOM.nextBytes(m);
          BigInteger k = BigIntegers.createRandomInRange(BigInteger.ONE, q.subtract(BigInteger.ONE), RANDOM);
          GOST3410Signer signer = new GOST3410Signer();
          signer.init(true, new ParametersWithRandom(priv,
              new FixedRandom(BigIntegers.asUnsignedByteArray(32, k))));
          BigInteger[] rs = signer.generateSignature(m);
          out.println("KAT " + e.getKey() + " " + hex(x, 32) + " " + hex(k, 32) + " "
              + Hex.toHexString(reverse(m)) + " " + hex(rs[0], 32) + " " + hex(rs[1], 32));
        }
      }
    }
    System.out.println("BouncyCastle verified " + verified + " native signatures, " + failures
        + " failures");
    System.exit(failures == 0 ? 0 : 1);
  }
}
