package ru.halvorit.tokensim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.security.PublicKey;
import java.security.Signature;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import ru.halvorit.crypto.pkcs11.KeyContainer;
import ru.halvorit.crypto.pkcs11.KeyContainerException;
import ru.halvorit.io.PasswordSource;
import ru.halvorit.keystoretest.Fixtures;

/**
 * Key containers on a simulated ruToken and eToken through the key store: the master-key file
 * is private there, so writing and opening the container must ask the container's password
 * source for the PIN.
 */
class KeyContainerOnTokenTest {
  @TempDir Path tmp;

  @ParameterizedTest
  @CsvSource({
    "rutoken, Aktiv Co. ruToken 0, ruToken:1001, 12345678, f001/1001",
    "etoken, Aladdin Token JC 1, eToken:1001, 1234567890, 3f00\\e007/1001",
  })
  void containerWithAPrivateMasterKeyFile(String kind, String reader, String path, String pin,
      String root) throws Exception {
    Sim sim = new Sim(kind);
    sim.run("reset");
    sim.run("insert", reader);
    String folder = tmp.resolve("folder").toString();
    Fixtures.createContainer(folder);
    PasswordSource source = PasswordSource.of(pin.toCharArray());

    PublicKey key = new KeyContainer(folder).exportTo(path, source).generateKeyPair("CP-XA");
    String dump = sim.run("dump", reader);
    assertTrue(dump.contains(root + "/a001 230 private"), dump);

    // A fresh object opens the container on the token again and signs with its key.
    KeyContainer again = new KeyContainer(path, source);
    assertArrayEquals(key.getEncoded(), again.getEncodedPublicKey(null));
    byte[] message = "to be signed".getBytes(StandardCharsets.US_ASCII);
    Signature v = Signature.getInstance("GOST3411withECGOST3410", "BC");
    v.initVerify(Fixtures.bcPublic(key.getEncoded()));
    v.update(message);
    assertTrue(v.verify(again.signMessage(null, message)));

    KeyContainer wrong = new KeyContainer(path, PasswordSource.of("0000".toCharArray()));
    assertThrows(KeyContainerException.class, () -> wrong.signMessage(null, message));
  }
}
