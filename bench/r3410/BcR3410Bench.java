// BouncyCastle's GOST R 34.10-94 signer on CryptoPro-A with a 32-byte digest: signatures and
// verifications per second. Prints "sign<TAB>ops_per_s" and "verify<TAB>ops_per_s".
import java.math.BigInteger;
import java.security.SecureRandom;

import org.bouncycastle.asn1.cryptopro.CryptoProObjectIdentifiers;
import org.bouncycastle.asn1.cryptopro.GOST3410NamedParameters;
import org.bouncycastle.asn1.cryptopro.GOST3410ParamSetParameters;
import org.bouncycastle.crypto.params.GOST3410Parameters;
import org.bouncycastle.crypto.params.GOST3410PrivateKeyParameters;
import org.bouncycastle.crypto.params.GOST3410PublicKeyParameters;
import org.bouncycastle.crypto.params.ParametersWithRandom;
import org.bouncycastle.crypto.signers.GOST3410Signer;
import org.bouncycastle.util.BigIntegers;

public final class BcR3410Bench {
  interface Op {
    boolean run();
  }

  static double perSecond(Op op, double seconds) {
    // The JIT needs a real warm-up: run for as long as the measurement itself.
    long end = System.nanoTime() + (long) (seconds * 1e9);
    while (System.nanoTime() < end) op.run();
    long n = 0;
    long start = System.nanoTime();
    long stop = start + (long) (seconds * 1e9);
    long now = start;
    boolean ok = true;
    while (now < stop) {
      for (int i = 0; i < 16; ++i) ok &= op.run();
      n += 16;
      now = System.nanoTime();
    }
    if (!ok) throw new IllegalStateException("operation failed");
    return n / ((now - start) / 1e9);
  }

  public static void main(String[] args) {
    double seconds = args.length > 0 ? Double.parseDouble(args[0]) : 2.0;
    SecureRandom random = new SecureRandom();
    GOST3410ParamSetParameters named =
        GOST3410NamedParameters.getByOID(CryptoProObjectIdentifiers.gostR3410_94_CryptoPro_A);
    GOST3410Parameters p = new GOST3410Parameters(named.getP(), named.getQ(), named.getA());
    BigInteger x = BigIntegers.createRandomInRange(BigInteger.ONE, p.getQ().subtract(BigInteger.ONE), random);
    BigInteger y = p.getA().modPow(x, p.getP());
    byte[] digest = new byte[32];
    random.nextBytes(digest);
    GOST3410Signer signer = new GOST3410Signer();
    signer.init(true, new ParametersWithRandom(new GOST3410PrivateKeyParameters(x, p), random));
    GOST3410Signer verifier = new GOST3410Signer();
    verifier.init(false, new GOST3410PublicKeyParameters(y, p));
    BigInteger[][] last = {signer.generateSignature(digest)};
    double sign = perSecond(() -> (last[0] = signer.generateSignature(digest)) != null, seconds);
    double verify = perSecond(() -> verifier.verifySignature(digest, last[0][0], last[0][1]), seconds);
    System.out.printf("sign\t%.0f%nverify\t%.0f%n", sign, verify);
  }
}
