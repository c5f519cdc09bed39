// jarnel-tool rand: seed sources, output forms and usage errors, run as a separate process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/rand/rand.h"

#ifdef JARNEL_TOOL
namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun run_tool(const std::string& args, const std::string& input = "") {
  std::string base = testing::TempDir() + "/rand_tool_" +
                     testing::UnitTest::GetInstance()->current_test_info()->name();
  std::string in = base + ".in", out = base + ".out", err = base + ".err";
  std::ofstream(in) << input;
  std::string cmd = std::string(JARNEL_TOOL) + " rand " + args + " < " + in + " > " + out +
                    " 2> " + err;
  int rc = std::system(cmd.c_str());
  auto slurp = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  };
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
}

TEST(RandTool, WritesCountBytes) {
  ToolRun hex = run_tool("32 --hex --seed-hex 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
  EXPECT_EQ(hex.status, 0) << hex.err;
  ASSERT_EQ(hex.out.size(), 65U);
  EXPECT_EQ(hex.out.find_first_not_of("0123456789abcdef"), 64U);

  ToolRun raw = run_tool("5000 --seed-hex 0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a");
  EXPECT_EQ(raw.status, 0) << raw.err;
  ASSERT_EQ(raw.out.size(), 5000U);
  // Buffered mode: both 2,500-byte blocks passed the statistical test.
  EXPECT_EQ(jarnel::RAND_statistical_test(
                reinterpret_cast<const unsigned char*>(raw.out.data()), 0), 1);

  // The same seed twice gives different output: the moment is hashed into the key.
  EXPECT_NE(run_tool("32 --hex --seed-hex 00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff").out, hex.out);
  EXPECT_EQ(run_tool("0 --hex --seed-hex 0101010101010101010101010101010101010101010101010101010101010101").out, "\n");
}

TEST(RandTool, SeedsItselfFromTheSystem) {
  ToolRun hex = run_tool("16 --hex");
  EXPECT_EQ(hex.status, 0) << hex.err;
  EXPECT_EQ(hex.out.size(), 33U);
  ToolRun raw = run_tool("--hex=x 16");
  EXPECT_EQ(raw.status, 2);
  EXPECT_NE(raw.err.find("'--hex' takes no value"), std::string::npos) << raw.err;
}

TEST(RandTool, RejectsBadUsage) {
  const std::string seed = "--seed-hex " + std::string(64, '1');
  struct Case {
    std::string args;
    const char* says;
  } cases[] = {
      {"16 " + seed + " --keyboard", "at most one"},
      {"16 --seed-hex", "'--seed-hex' needs a value"},
      {"16 --seed-hex 0", "even number"},
      {"16 --seed-hex xy", "even number"},
      {"16 --seed-hex ''", "--seed-hex must be"},
      {"16 --seed-hex 00", "at least 32 bytes"},
      {"16 --seed-hex " + std::string(62, 'a'), "at least 32 bytes"},
      {"-3 " + seed, "unknown option '-3'"},
      {"many " + seed, "COUNT must be"},
      {seed, "COUNT is missing"},
      {"16 " + seed + " --bogus", "unknown option '--bogus'"},
  };
  for (const Case& c : cases) {
    ToolRun r = run_tool(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_TRUE(r.out.empty()) << c.args;
    EXPECT_EQ(r.err.rfind("jarnel-tool rand: ", 0), 0U) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
  }
  EXPECT_EQ(run_tool("16 --seed-hex=" + std::string(64, '2')).status, 0);
}

TEST(RandTool, KeyboardSeedingPromptsAndGivesUpAtEndOfInput) {
  // '!' is never shown (prompts are letters and digits), so it is always a wrong answer.
  ToolRun r = run_tool("16 --keyboard", "!\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  // A wrong answer, then the end of input.
  EXPECT_NE(r.err.find("(1 of 16): "), std::string::npos);
  std::size_t first = r.err.find("(1 of 16)");
  EXPECT_NE(r.err.find("(1 of 16)", first + 1), std::string::npos);
  // One line says why, without the library's error queue.
  EXPECT_NE(r.err.find("jarnel-tool rand: keyboard: the generator was not keyed"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("internal error"), std::string::npos) << r.err;
}

}  // namespace
#endif
