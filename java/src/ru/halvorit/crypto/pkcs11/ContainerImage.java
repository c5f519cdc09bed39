package ru.halvorit.crypto.pkcs11;

import java.util.Arrays;
import java.util.Objects;

/**
 * The four contents of a key container, as exported and imported: master key, mask, KEK and
 * random state. The arrays are secrets: {@link #wipe()} clears them.
 */
public final class ContainerImage {
  /** Length of the KEK and of the random-state record. */
  public static final int OPAQUE_BYTES = 36;
  /** Length of the mask in clear. */
  public static final int MASK_BYTES = 32;

  private final byte[] masterKey;
  private final byte[] mask;
  private final byte[] kek;
  private final byte[] randomState;

  public ContainerImage(byte[] masterKey, byte[] mask, byte[] kek, byte[] randomState) {
    this.masterKey = Objects.requireNonNull(masterKey, "masterKey").clone();
    this.mask = Objects.requireNonNull(mask, "mask").clone();
    this.kek = Objects.requireNonNull(kek, "kek").clone();
    this.randomState = Objects.requireNonNull(randomState, "randomState").clone();
  }

  /**
   * Splits the result of {@link PKCS11Wrapper#nativeReadPSE(String)}: the random state and the
   * KEK are its last 36 bytes each, the mask the 32 before them, the master key the rest.
   */
  public static ContainerImage parse(byte[] all) {
    int fixed = MASK_BYTES + 2 * OPAQUE_BYTES;
    if (all == null || all.length <= fixed) {
      throw new IllegalArgumentException("not the contents of a key container");
    }
    int mk = all.length - fixed;
    return new ContainerImage(Arrays.copyOfRange(all, 0, mk),
        Arrays.copyOfRange(all, mk, mk + MASK_BYTES),
        Arrays.copyOfRange(all, mk + MASK_BYTES, mk + MASK_BYTES + OPAQUE_BYTES),
        Arrays.copyOfRange(all, all.length - OPAQUE_BYTES, all.length));
  }

  public byte[] getMasterKey() {
    return masterKey.clone();
  }

  public byte[] getMask() {
    return mask.clone();
  }

  public byte[] getKek() {
    return kek.clone();
  }

  public byte[] getRandomState() {
    return randomState.clone();
  }

  byte[] masterKey() {
    return masterKey;
  }

  byte[] mask() {
    return mask;
  }

  byte[] kek() {
    return kek;
  }

  byte[] randomState() {
    return randomState;
  }

  /** Overwrites the contents with zeros. */
  public void wipe() {
    Arrays.fill(masterKey, (byte) 0);
    Arrays.fill(mask, (byte) 0);
    Arrays.fill(kek, (byte) 0);
    Arrays.fill(randomState, (byte) 0);
  }
}
