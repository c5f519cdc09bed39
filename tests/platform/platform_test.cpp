#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include <unistd.h>

#include "crypto/err/err.h"
#include "platform/dl.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "platform/thread.h"

#include <openssl/err.h>
#include <openssl/evp.h>

using namespace jarnel;

TEST(LibraryNames, WindowsNamesMapToSharedObjects) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"etsdk.dll", "libetsdk.so"},     {"RTAPILT.DLL", "libRTAPILT.so"},
               {"WinSCard.dll", "libpcsclite.so.1"}, {"winscard.DLL", "libpcsclite.so.1"},
               {"softhsm2", "libsofthsm2.so"},   {"a.dll.dll", "liba.dll.so"}};
  for (const auto& c : cases) {
    char out[64];
    ASSERT_TRUE(platform::map_library_name(c.in, out, sizeof out)) << c.in;
    EXPECT_STREQ(out, c.out);
  }
  char tiny[6];
  EXPECT_FALSE(platform::map_library_name("etsdk.dll", tiny, sizeof tiny));
  EXPECT_FALSE(platform::map_library_name(nullptr, tiny, sizeof tiny));
}

TEST(DynamicLoading, SearchesJarnelLibraryPathFirst) {
  EXPECT_EQ(platform::dl_open("platformprobe.dll"), nullptr);  // not on the loader's path
  setenv("JARNEL_LIBRARY_PATH", "/nonexistent:" PROBE_DIR, 1);
  void* h = platform::dl_open("platformprobe.dll");
  unsetenv("JARNEL_LIBRARY_PATH");
  ASSERT_NE(h, nullptr);
  auto fn = reinterpret_cast<int (*)()>(platform::dl_symbol(h, "probe_answer"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(platform::dl_symbol(h, "no_such_symbol"), nullptr);
  platform::dl_close(h);
}

TEST(Utf16ToUtf8, EncodesAndRejects) {
  struct {
    std::u16string in;
    std::string out;
    long len;
  } cases[] = {
      {u"", "", 0},
      {u"abc", "abc", 3},
      {u"\u00e9", "\xc3\xa9", 2},
      {u"\u20ac", "\xe2\x82\xac", 3},
      {u"\U0001F511", "\xf0\x9f\x94\x91", 4},
      {std::u16string(1, char16_t(0xD800)), "", -1},
      {std::u16string(1, char16_t(0xDC00)) + u"a", "", -1},
  };
  for (const auto& c : cases) {
    unsigned char buf[16] = {};
    long n = platform::utf16_to_utf8(c.in.data(), c.in.size(), buf, sizeof buf);
    EXPECT_EQ(n, c.len);
    if (n >= 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n)), c.out);
    }
  }
  // Measuring with no output, and a short output buffer is never overrun.
  EXPECT_EQ(platform::utf16_to_utf8(u"\u20ac\u20ac", 2, nullptr, 0), 6);
  unsigned char small[4] = {0, 0, 0, 0x5a};
  EXPECT_EQ(platform::utf16_to_utf8(u"\u20ac\u20ac", 2, small, 3), 6);
  EXPECT_EQ(small[3], 0x5a);
}

TEST(ThreadSlot, ExitDestructorRunsForTheEndingThreadOnly) {
  static std::atomic<int> released{0};
  platform::ThreadSlot* slot = platform::thread_slot_create([](void* p) {
    released += *static_cast<int*>(p);
    delete static_cast<int*>(p);
  });
  ASSERT_NE(slot, nullptr);
  unsigned long main_id = platform::thread_id(), other_id = 0;
  std::thread t([&] {
    other_id = platform::thread_id();
    platform::thread_slot_set(slot, new int(5));
    EXPECT_NE(platform::thread_slot_get(slot), nullptr);
  });
  t.join();
  EXPECT_EQ(released.load(), 5);
  EXPECT_NE(main_id, other_id);
  EXPECT_EQ(platform::thread_slot_get(slot), nullptr);
  platform::thread_slot_destroy(slot);
}

TEST(OpensslErrors, AreMovedIntoTheQueueUnderTheCallersEntry) {
  jarnel::ERR_clear_error();
  ::ERR_clear_error();
  EVP_MD* md = EVP_MD_fetch(nullptr, "no-such-digest", nullptr);
  EXPECT_EQ(md, nullptr);
  jarnel::ERR_put_openssl_errors(LIB_CADB, 7, R_INTERNAL_ERROR, "here.cpp", 11);
  EXPECT_EQ(::ERR_peek_error(), 0UL);  // OpenSSL's own queue is drained
  int n = jarnel::ERR_count_errors();
  ASSERT_GE(n, 2);
  const char* file;
  const char* data;
  int line, flags;
  unsigned long first = jarnel::ERR_get_error_line_data(&file, &line, &data, &flags);
  EXPECT_EQ(ERR_get_lib(first), LIB_EVP);
  EXPECT_NE(std::string(data).find("no-such-digest"), std::string::npos) << data;
  EXPECT_EQ(jarnel::ERR_peek_last_error(), ERR_pack(LIB_CADB, 7, R_INTERNAL_ERROR));
  jarnel::ERR_clear_error();
}

TEST(SettingsStore, ReadsStringValuesFromTheSettingsFile) {
  char tmpl[] = "/tmp/jarnel-settings-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  const std::string text =
      "; adapter defaults\n"
      "[HKEY_CURRENT_USER\\Software\\Dallas Semiconductor\\iButton TMEX\\3.00]\n"
      "DefaultPortNum=9\n"
      "  [ hkey_local_machine\\software\\Dallas Semiconductor\\iButton TMEX\\3.00 ]  \n"
      "# the port\n"
      "  defaultportnum =  2 \r\n"
      "DefaultPortType=1\n"
      "Long=0123456789\n"
      "[Other]\n"
      "DefaultPortType=5\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  setenv("JARNEL_SETTINGS_FILE", tmpl, 1);
  const char* key = "Software\\Dallas Semiconductor\\iButton TMEX\\3.00";
  struct Case {
    const char* root;
    const char* name;
    const char* value;  // null: not found
  } cases[] = {{platform::SETTINGS_LOCAL_MACHINE, "DefaultPortNum", "2"},
               {platform::SETTINGS_LOCAL_MACHINE, "DefaultPortType", "1"},
               {platform::SETTINGS_CURRENT_USER, "DefaultPortNum", "9"},
               {platform::SETTINGS_CURRENT_USER, "DefaultPortType", nullptr},
               {platform::SETTINGS_LOCAL_MACHINE, "Missing", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[16] = "unchanged";
    bool found = platform::settings_read_string(c.root, key, c.name, out, sizeof out);
    EXPECT_EQ(found, c.value != nullptr);
    if (c.value) {
      EXPECT_STREQ(out, c.value);
    }
  }
  char small[10];
  EXPECT_FALSE(platform::settings_read_string(platform::SETTINGS_LOCAL_MACHINE, key, "Long", small,
                                              sizeof small));  // does not fit
  unlink(tmpl);
  char out[16];
  EXPECT_FALSE(platform::settings_read_string(platform::SETTINGS_LOCAL_MACHINE, key,
                                              "DefaultPortNum", out, sizeof out));
  unsetenv("JARNEL_SETTINGS_FILE");
}
