package ru.halvorit.pellucor;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The proxy switch through the JVM, over the Linux settings store. */
class InternetExplorerConfigurationTest {
  private final InternetExplorerConfiguration config = new InternetExplorerConfiguration();

  @BeforeEach
  void freshSettings() {
    // The switch's state is per process: make sure no change from another test is in force.
    config.restoreSettings();
    ProxyStore.reset();
  }

  @AfterEach
  void undo() {
    config.restoreSettings();
    ProxyStore.reset();
  }

  @Test
  void switchesEveryConnectionAndRestoresIt() {
    ProxyStore.put(null, "http://wpad/pac", 3, 1 | 8, "*.corp;<local>", "proxy:8080");
    ProxyStore.put("ISP", null, 1, 1, null, "http=a:1;ftp=b:2");

    config.changeSettings("h", 3128);
    assertEquals("ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080", ProxyStore.server(null));
    assertEquals("*.corp", ProxyStore.string(null, ProxyStore.PROXY_BYPASS));
    assertNull(ProxyStore.string(null, ProxyStore.AUTOCONFIG_URL));
    assertEquals(3, ProxyStore.number(null, ProxyStore.FLAGS));
    assertEquals("http=h:3128;ftp=b:2", ProxyStore.server("ISP"));

    config.changeSettings("ignored", 1);
    assertEquals("http=h:3128;ftp=b:2", ProxyStore.server("ISP"));

    config.restoreSettings();
    assertEquals("proxy:8080", ProxyStore.server(null));
    assertEquals("*.corp;<local>", ProxyStore.string(null, ProxyStore.PROXY_BYPASS));
    assertEquals("http://wpad/pac", ProxyStore.string(null, ProxyStore.AUTOCONFIG_URL));
    assertEquals(1 | 8, ProxyStore.number(null, ProxyStore.FLAGS));
    assertEquals(3, ProxyStore.number(null, ProxyStore.AUTODISCOVERY_FLAGS));
    assertEquals("http=a:1;ftp=b:2", ProxyStore.server("ISP"));
  }

  @Test
  void nonAsciiHostArrivesInTheCodePage() {
    String host = "прокси.рф\uD83D\uDD11";
    config.changeSettings(host, 8080);
    assertArrayEquals(("http=" + host + ":8080").getBytes(StandardCharsets.UTF_8),
        ProxyStore.text(null, ProxyStore.PROXY_SERVER));
  }

  /** Hosts that cannot become a proxy text change nothing and throw nothing. */
  @ParameterizedTest
  @ValueSource(strings = {"bad\uD800", "\uDC00bad", "a\u0000b"})
  void unconvertibleHostChangesNothing(String host) {
    ProxyStore.put(null, null, 1, 1, null, "proxy:8080");
    config.changeSettings(host, 3128);
    assertEquals("proxy:8080", ProxyStore.server(null));
    assertEquals(0, ProxyStore.calls().length);
  }

  @Test
  void nullHostChangesNothing() {
    ProxyStore.put(null, null, 1, 1, null, "proxy:8080");
    config.changeSettings(null, 3128);
    assertEquals(0, ProxyStore.calls().length);
    // And it does not count as a change: a real one still goes through.
    config.changeSettings("h", 3128);
    assertEquals("ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080", ProxyStore.server(null));
  }

  @Test
  void unreadableLanLeavesNothingToRestore() {
    ProxyStore.put(null, null, 1, 1, null, "proxy:8080");
    ProxyStore.failQueries(null, true);
    config.changeSettings("h", 3128);
    ProxyStore.failQueries(null, false);
    ProxyStore.put(null, null, 1, 1, null, "user:1");
    config.restoreSettings();
    assertEquals("user:1", ProxyStore.server(null));
  }

  @Test
  void tooLongProxyTextIsRefused() {
    ProxyStore.put(null, null, 1, 1, null, "proxy:8080");
    config.changeSettings("h".repeat(250), 3128);
    assertEquals("proxy:8080", ProxyStore.server(null));
    assertEquals(1, ProxyStore.number(null, ProxyStore.FLAGS));
  }
}
