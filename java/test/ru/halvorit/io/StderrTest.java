package ru.halvorit.io;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * What the native layer prints on the standard error stream: one line per error in the form
 * "%lu:%s:%s:%d:%s", the entry point's own line last, nothing after a successful call, and
 * each thread only its own errors. The calls run in a child JVM (StderrProbe) whose standard
 * error is read here.
 */
class StderrTest {
  @TempDir static Path tmp;
  static Map<String, List<String>> sections;
  static String stdout;

  /**
   * thread id : error : code : library : function : reason : file : line : data. A library
   * without a name prints as ":lib(n) " after the code's colon.
   */
  static final Pattern LINE = Pattern.compile(
      "(\\d+):error:([0-9A-F]{8}):(:lib\\(\\d+\\) |[^:]*):([^:]*):([^:]*):(.*):(\\d+):(.*)");

  @BeforeAll
  static void runProbe() throws Exception {
    String javaBin = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    String cp = location(StderrProbe.class) + java.io.File.pathSeparator + location(TokenFile.class);
    List<String> cmd = new ArrayList<>(List.of(javaBin, "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp", cp,
        StderrProbe.class.getName(), tmp.toString()));
    cmd.addAll(List.of(StderrProbe.SCENARIOS));
    Path err = tmp.resolve("stderr.txt");
    Path out = tmp.resolve("stdout.txt");
    Process p = new ProcessBuilder(cmd).redirectError(err.toFile()).redirectOutput(out.toFile()).start();
    assertTrue(p.waitFor(300, TimeUnit.SECONDS), "probe did not finish");
    stdout = Files.readString(out, StandardCharsets.UTF_8);
    String text = Files.readString(err, StandardCharsets.UTF_8);
    assertEquals(0, p.exitValue(), "probe failed:\n" + stdout + text);
    sections = new LinkedHashMap<>();
    List<String> current = null;
    for (String line : text.split("\n", -1)) {
      if (line.startsWith("### ")) {
        current = new ArrayList<>();
        sections.put(line.substring(4), current);
      } else if (current != null && !line.isEmpty()) {
        current.add(line);
      }
    }
  }

  private static String location(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
  }

  private static Matcher parse(String line) {
    Matcher m = LINE.matcher(line);
    assertTrue(m.matches(), "not an error line: " + line);
    return m;
  }

  @Test
  void probeRanCleanly() {
    assertFalse(stdout.contains("PROBE-FAILURE"), stdout);
    assertFalse(stdout.contains("WARNING in native method") || stdout.contains("FATAL ERROR"), stdout);
    assertTrue(sections.containsKey("end"), "probe did not reach its end");
  }

  @ParameterizedTest(name = "{0} ends with {2}")
  @CsvSource({
    "read-missing, 4, tokenFileRead, 105, 188",
    "read-null, 1, tokenFileRead, 105, 181",
    "write-under-file, 6, tokenFileWrite, 106, 253",
    "private-write-under-file, 6, tokenFileWrite, 106, 310",
    "write-null-data, 1, tokenFileWrite, 106, 246",
    "write-null-path, 1, tokenFileWrite, 106, 238",
    "private-write-null-data, 1, tokenFileWrite, 106, 303",
    "private-write-null-path, 1, tokenFileWrite, 106, 295",
    "length-null, 1, tokenFileLength, 107, 350",
    "delete-null, 1, tokenFileDerete, 108, 393",
    "delete-full-directory, 1, tokenFileDerete, 108, 401",
    "delete-socket, 4, tokenFileDerete, 108, 409",
    "exists-null, 1, tokenFileExists, 110, 436",
    "is-file-null, 1, tokenIsFile, 111, 463",
    "is-directory-null, 1, tokenIsDirectory, 112, 495",
    "is-inserted-null, 1, tokenIsInserted, 113, 522",
    "mkdir-null, 1, tokenMkDir, 114, 561",
    "mkdir-under-file, 2, tokenMkDir, 114, 567",
    "list-null, 1, tokenFileList, 115, 641",
    "list-file, 1, tokenFileList, 115, 647",
    "list-long, 2, tokenFileList, 115, 660",
    "logout-null, 1, tokenLogout, 116, 702",
    "logout-rutoken, 1, tokenLogout, 116, 708",
  })
  void failedCallPrintsItsQueueEndingWithTheEntryPointLine(String scenario, int count, String function,
      int number, int line) {
    List<String> lines = sections.get(scenario);
    assertEquals(count, lines.size(), scenario + ":\n" + String.join("\n", lines));
    Matcher last = parse(lines.get(lines.size() - 1));
    assertEquals(String.format("55%03X00C", number), last.group(2));
    assertEquals(":lib(85) ", last.group(3));
    assertEquals(function, last.group(4));
    assertEquals("internal error", last.group(5));
    assertEquals("..\\..\\crypto\\jarnel\\jarnel", last.group(6));
    assertEquals(String.valueOf(line), last.group(7));
    assertEquals("", last.group(8));
    // One thread made them all.
    for (String l : lines) assertEquals(last.group(1), parse(l).group(1), l);
  }

  @Test
  void failedReadShowsEveryLayer() {
    List<String> lines = sections.get("read-missing");
    Matcher sys = parse(lines.get(0));
    assertEquals("02001002", sys.group(2));
    assertEquals("system library", sys.group(3));
    assertEquals("fopen", sys.group(4));
    // The file layer hands the driver the normalised path, with backslashes.
    String normalised = tmp.resolve("missing.key").toString().replace('/', '\\');
    assertEquals("fopen('" + normalised + "','rb')", sys.group(8));
    Matcher bio = parse(lines.get(1));
    assertEquals("BIO routines", bio.group(3));
    Matcher buf = parse(lines.get(2));
    assertEquals("BUFFER_read_file", buf.group(4));
    assertEquals("..\\..\\crypto\\cadb\\n_buffer", buf.group(6));
    assertEquals("179", buf.group(7));
  }

  @Test
  void failedWriteAndEraseShowTheFileLayerLines() {
    List<String> write = sections.get("write-under-file");
    assertEquals(List.of("794", "911", "920"),
        List.of(parse(write.get(2)).group(7), parse(write.get(3)).group(7), parse(write.get(4)).group(7)));
    assertEquals("CADB_write_file", parse(write.get(2)).group(4));
    assertEquals("CADB routines", parse(write.get(2)).group(3));
    List<String> erase = sections.get("delete-socket");
    Matcher m = parse(erase.get(2));
    assertEquals("CADB_erase_file", m.group(4));
    assertEquals("1065", m.group(7));
  }

  @Test
  void nothingIsPrintedAfterSuccessfulCalls() {
    assertEquals(List.of(), sections.get("successes"));
  }

  @Test
  void eachThreadPrintsOnlyItsOwnErrors() {
    List<String> lines = sections.get("threads");
    assertEquals(4 * 20 * 4, lines.size());
    Map<String, Integer> perThread = new HashMap<>();
    Map<String, Set<String>> readersOfThread = new HashMap<>();
    Pattern reader = Pattern.compile("missing-T(\\d)-\\d+");
    for (String l : lines) {
      Matcher m = parse(l);
      perThread.merge(m.group(1), 1, Integer::sum);
      Matcher r = reader.matcher(m.group(8));
      if (r.find()) readersOfThread.computeIfAbsent(m.group(1), k -> new HashSet<>()).add(r.group(1));
    }
    assertEquals(4, perThread.size(), perThread.toString());
    for (Map.Entry<String, Integer> e : perThread.entrySet()) {
      assertEquals(80, e.getValue(), "lines of thread " + e.getKey());
      assertEquals(1, readersOfThread.get(e.getKey()).size(), "thread " + e.getKey() + " printed another's error");
    }
  }
}
