package ru.halvorit.crypto.pkcs11;

import java.security.PrivateKey;
import java.util.Objects;

/**
 * A handle of a private key that stays in its container: it names the container and the alias
 * and has no encoding. {@link JarnelProvider}'s signatures sign with it.
 */
public final class ContainerPrivateKey implements PrivateKey {
  private static final long serialVersionUID = 1L;

  private final transient KeyContainer container;
  private final String alias;

  ContainerPrivateKey(KeyContainer container, String alias) {
    this.container = Objects.requireNonNull(container, "container");
    this.alias = alias;
  }

  public KeyContainer getContainer() {
    return container;
  }

  /** The key's alias; null for the container's own key. */
  public String getAlias() {
    return alias;
  }

  @Override
  public String getAlgorithm() {
    return KeyContainer.ALGORITHM;
  }

  /** None: the private key does not leave its container. */
  @Override
  public String getFormat() {
    return null;
  }

  /** None: the private key does not leave its container. */
  @Override
  public byte[] getEncoded() {
    return null;
  }

  @Override
  public String toString() {
    return "ContainerPrivateKey[" + container.keyPath(alias) + "]";
  }
}
