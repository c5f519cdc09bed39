package ru.halvorit.crypto.pkcs11;

import java.security.InvalidKeyException;
import java.security.InvalidParameterException;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.PublicKey;
import java.security.SignatureException;
import java.security.SignatureSpi;

/**
 * A JCA provider ("Jarnel") whose "GOST3411withECGOST3410" signatures are made by keys in
 * containers ({@link KeyContainer#getPrivateKey(String)}). It only signs: verification is a
 * public-key operation for a provider that knows GOST R 34.10-2001 public keys (BouncyCastle).
 * The message is hashed with the "GOST3411" message digest of an installed provider.
 *
 * <pre>
 * Security.addProvider(new BouncyCastleProvider());
 * Security.addProvider(new JarnelProvider());
 * Signature s = Signature.getInstance("GOST3411withECGOST3410");
 * s.initSign(container.getPrivateKey(null));   // the JCA picks this provider for the key
 * s.update(message);
 * byte[] sig = s.sign();
 * </pre>
 */
public final class JarnelProvider extends Provider {
  private static final long serialVersionUID = 1L;
  public static final String NAME = "Jarnel";

  public JarnelProvider() {
    super(NAME, "1.0", "GOST R 34.10-2001 signatures with keys in key containers");
    putService(new Service(this, "Signature", "GOST3411withECGOST3410",
        ContainerSignature.class.getName(), null,
        java.util.Map.of("SupportedKeyClasses", ContainerPrivateKey.class.getName())));
  }

  /** The signature of a message by a container's key. */
  public static final class ContainerSignature extends SignatureSpi {
    private ContainerPrivateKey key;
    private MessageDigest digest;

    public ContainerSignature() {}

    @Override
    protected void engineInitSign(PrivateKey privateKey) throws InvalidKeyException {
      if (!(privateKey instanceof ContainerPrivateKey)) {
        throw new InvalidKeyException("not a key in a container");
      }
      try {
        digest = MessageDigest.getInstance("GOST3411");
      } catch (NoSuchAlgorithmException e) {
        throw new InvalidKeyException("no installed provider offers the GOST3411 digest", e);
      }
      key = (ContainerPrivateKey) privateKey;
    }

    @Override
    protected void engineInitVerify(PublicKey publicKey) throws InvalidKeyException {
      throw new InvalidKeyException(
          "this provider only signs; verify with a provider that knows ECGOST3410 public keys");
    }

    @Override
    protected void engineUpdate(byte b) throws SignatureException {
      ready().update(b);
    }

    @Override
    protected void engineUpdate(byte[] b, int off, int len) throws SignatureException {
      ready().update(b, off, len);
    }

    @Override
    protected byte[] engineSign() throws SignatureException {
      byte[] hash = ready().digest();
      KeyContainer.reverse(hash);
      try {
        return key.getContainer().signHash(key.getAlias(), hash);
      } catch (KeyContainerException e) {
        throw new SignatureException(e.getMessage(), e);
      }
    }

    @Override
    protected boolean engineVerify(byte[] sigBytes) throws SignatureException {
      throw new SignatureException("this provider only signs");
    }

    private MessageDigest ready() throws SignatureException {
      if (digest == null) throw new SignatureException("not initialised for signing");
      return digest;
    }

    @Override
    @Deprecated
    protected void engineSetParameter(String param, Object value) {
      throw new InvalidParameterException("no parameters");
    }

    @Override
    @Deprecated
    protected Object engineGetParameter(String param) {
      throw new InvalidParameterException("no parameters");
    }
  }
}
