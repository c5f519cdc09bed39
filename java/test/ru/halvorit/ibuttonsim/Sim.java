package ru.halvorit.ibuttonsim;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Runs jarnel-sim (JARNEL_SIM_TOOL) on the simulated carriers this JVM's drivers also see. */
final class Sim {
  private final String kind;

  Sim(String kind) {
    this.kind = kind;
  }

  /** The command's standard output; fails the test when it does not succeed. */
  String run(String... args) throws Exception {
    List<String> cmd = new ArrayList<>();
    cmd.add(System.getenv("JARNEL_SIM_TOOL"));
    cmd.add(kind);
    cmd.addAll(List.of(args));
    Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertTrue(p.waitFor(60, TimeUnit.SECONDS));
    assertEquals(0, p.exitValue(), "jarnel-sim " + String.join(" ", args) + ": " + out);
    return out;
  }
}
