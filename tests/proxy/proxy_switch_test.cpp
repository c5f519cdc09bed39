// The proxy switch over the in-process settings store: the new proxy and bypass texts, what is
// written and restored for every connection, the order of the calls, and the state machine.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "conn_options.h"
#include "posix/conn_store.h"
#include "proxy_switch.h"

namespace jarnel::proxy {
namespace {

using store::Connection;
using Strings = std::vector<std::string>;

Connection with_server(std::optional<std::string> server) {
  Connection c;
  c.proxy_server = std::move(server);
  return c;
}

class ProxySwitch : public ::testing::Test {
 protected:
  void SetUp() override { store::reset(); }
  void TearDown() override { store::reset(); }

  std::optional<std::string> lan_server() { return store::get(nullptr)->proxy_server; }

  PROXY_STATE state;
};

struct TextCase {
  const char* name;
  std::optional<std::string> saved;
  std::string expected;
};

TEST_F(ProxySwitch, NewProxyTextKeepsEveryOtherProtocol) {
  const std::vector<TextCase> cases = {
      {"one proxy for all", "proxy:8080", "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080"},
      {"http entry first", "http=a:1;ftp=b:2", "http=h:3128;ftp=b:2"},
      {"http entry last", "ftp=b:2;http=a:1", "ftp=b:2;http=h:3128"},
      {"http entry between", "ftp=b:2;http=a:1;https=c:3", "ftp=b:2;http=h:3128;https=c:3"},
      {"after ftp", "ftp=b:2;https=c:3", "ftp=b:2;http=h:3128;https=c:3"},
      {"ftp alone", "ftp=b:2", "ftp=b:2;http=h:3128"},
      {"gopher looked for first", "ftp=b:2;gopher=g:7;https=c:3", "ftp=b:2;gopher=g:7;http=h:3128;https=c:3"},
      {"gopher alone", "gopher=g:7", "gopher=g:7;http=h:3128"},
      {"https is not http", "https=c:3", "http=h:3128;https=c:3"},
      {"other protocol", "socks=s:1080", "http=h:3128;socks=s:1080"},
      {"empty", "", "http=h:3128"},
      {"absent", std::nullopt, "http=h:3128"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    store::reset();
    state = PROXY_STATE{};
    store::put(nullptr, with_server(c.saved));
    proxy_change_settings(state, "h", 3128);
    EXPECT_EQ(lan_server(), c.expected);
    proxy_restore_settings(state);
    EXPECT_EQ(lan_server(), c.saved);
  }
}

TEST_F(ProxySwitch, BypassListLosesLocalNames) {
  struct Case {
    std::optional<std::string> saved;
    std::optional<std::string> written;
  };
  const std::vector<Case> cases = {
      {"*.corp;<local>", "*.corp"},
      {"a.example;*.corp;<local>;b.example", "a.example;*.corp"},
      {"<local>", std::nullopt},
      {"<local>;*.corp", std::nullopt},
      {"*.corp", "*.corp"},
      {"", ""},
      {std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.saved.value_or("(absent)"));
    store::reset();
    state = PROXY_STATE{};
    Connection lan = with_server("proxy:8080");
    lan.proxy_bypass = c.saved;
    store::put(nullptr, lan);
    proxy_change_settings(state, "h", 3128);
    EXPECT_EQ(store::get(nullptr)->proxy_bypass, c.written);
    proxy_restore_settings(state);
    EXPECT_EQ(store::get(nullptr)->proxy_bypass, c.saved);
  }
}

// Three connections whose every option differs; the change rewrites four of the five options
// of each, and the restore must bring back every one exactly.
TEST_F(ProxySwitch, ChangeRewritesEveryConnectionAndRestorePutsAllBack) {
  Connection lan;
  lan.autoconfig_url = "http://wpad.corp/proxy.pac";
  lan.autodiscovery_flags = 7;
  lan.flags = 1 | 4 | 8;
  lan.proxy_bypass = "*.corp;<local>";
  lan.proxy_server = "proxy:8080";
  Connection isp;
  isp.flags = 1;
  isp.proxy_server = "http=a:1;ftp=b:2";
  Connection mobile;
  mobile.autoconfig_url = "http://mobile/pac";
  mobile.autodiscovery_flags = 0;
  mobile.flags = 2;
  mobile.proxy_bypass = "<local>";
  store::put(nullptr, lan);
  store::put("ISP", isp);
  store::put("Mobile", mobile);

  proxy_change_settings(state, "h", 3128);

  const Connection lan_now = *store::get(nullptr);
  EXPECT_EQ(lan_now.proxy_server, "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080");
  EXPECT_EQ(lan_now.proxy_bypass, "*.corp");
  EXPECT_EQ(lan_now.flags, 3u);
  EXPECT_EQ(lan_now.autoconfig_url, std::nullopt);
  EXPECT_EQ(lan_now.autodiscovery_flags, 7u);  // not part of the change
  const Connection isp_now = *store::get("ISP");
  EXPECT_EQ(isp_now.proxy_server, "http=h:3128;ftp=b:2");
  EXPECT_EQ(isp_now.flags, 3u);
  const Connection mobile_now = *store::get("Mobile");
  EXPECT_EQ(mobile_now.proxy_server, "http=h:3128");
  EXPECT_EQ(mobile_now.proxy_bypass, std::nullopt);
  EXPECT_EQ(mobile_now.autoconfig_url, std::nullopt);
  EXPECT_EQ(mobile_now.flags, 3u);

  proxy_restore_settings(state);
  EXPECT_EQ(*store::get(nullptr), lan);
  EXPECT_EQ(*store::get("ISP"), isp);
  EXPECT_EQ(*store::get("Mobile"), mobile);
}

TEST_F(ProxySwitch, CallsReadEntriesThenLanAndWriteEachFollowedByNotice) {
  store::put(nullptr, with_server("proxy:8080"));
  store::put("ISP", with_server(std::nullopt));
  proxy_change_settings(state, "h", 3128);
  EXPECT_EQ(store::calls(), (Strings{
                                "query 'ISP' 4,5,1,3,2",
                                "query LAN 4,5,1,3,2",
                                "set 'ISP' 4,1,3,2",
                                "changed",
                                "set LAN 4,1,3,2",
                                "changed",
                            }));
  store::clear_calls();
  proxy_restore_settings(state);
  EXPECT_EQ(store::calls(), (Strings{"set 'ISP' 4,1,3,2", "changed", "set LAN 4,1,3,2", "changed"}));
}

TEST_F(ProxySwitch, SecondChangeBeforeRestoreChangesNothing) {
  store::put(nullptr, with_server("proxy:8080"));
  proxy_change_settings(state, "h", 3128);
  const Connection switched = *store::get(nullptr);
  store::clear_calls();

  proxy_change_settings(state, "elsewhere", 1);
  EXPECT_TRUE(store::calls().empty());
  EXPECT_EQ(*store::get(nullptr), switched);

  // The restore still brings back what was there before the first change.
  proxy_restore_settings(state);
  EXPECT_EQ(lan_server(), "proxy:8080");
}

TEST_F(ProxySwitch, RestoreWithoutChangeDoesNothing) {
  store::put(nullptr, with_server("proxy:8080"));
  proxy_restore_settings(state);
  EXPECT_TRUE(store::calls().empty());

  // Nor does a second restore after a change has been undone.
  proxy_change_settings(state, "h", 3128);
  proxy_restore_settings(state);
  store::put(nullptr, with_server("user-set:1"));
  store::clear_calls();
  proxy_restore_settings(state);
  EXPECT_TRUE(store::calls().empty());
  EXPECT_EQ(lan_server(), "user-set:1");
}

TEST_F(ProxySwitch, ChangeAfterRestoreCapturesAfresh) {
  store::put(nullptr, with_server("proxy:8080"));
  proxy_change_settings(state, "h", 3128);
  proxy_restore_settings(state);

  // Meanwhile the user switched proxies and added a dial-up entry.
  store::put(nullptr, with_server("ftp=b:2"));
  store::put("New", with_server("other:1"));
  proxy_change_settings(state, "k", 8000);
  EXPECT_EQ(lan_server(), "ftp=b:2;http=k:8000");
  EXPECT_EQ(store::get("New")->proxy_server, "ftp=other:1;gopher=other:1;http=k:8000;https=other:1");
  proxy_restore_settings(state);
  EXPECT_EQ(lan_server(), "ftp=b:2");
  EXPECT_EQ(store::get("New")->proxy_server, "other:1");
}

TEST_F(ProxySwitch, WithoutDialupLibraryOnlyTheLanIsHandled) {
  store::put(nullptr, with_server("proxy:8080"));
  store::put("ISP", with_server("isp:80"));
  store::set_dialup(DialupResult::Unavailable);
  proxy_change_settings(state, "h", 3128);
  EXPECT_EQ(lan_server(), "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080");
  EXPECT_EQ(store::get("ISP")->proxy_server, "isp:80");
  proxy_restore_settings(state);
  EXPECT_EQ(lan_server(), "proxy:8080");
  EXPECT_EQ(store::get("ISP")->proxy_server, "isp:80");
}

TEST_F(ProxySwitch, FailedCaptureLeavesNothingToApplyOrRestore) {
  struct Case {
    const char* name;
    bool lan_unreadable;
    bool dialup_out_of_memory;
  };
  for (const Case& c : {Case{"LAN unreadable", true, false}, Case{"dial-up list out of memory", false, true}}) {
    SCOPED_TRACE(c.name);
    store::reset();
    state = PROXY_STATE{};
    store::put(nullptr, with_server("proxy:8080"));
    store::put("ISP", with_server("isp:80"));
    store::fail_queries(nullptr, c.lan_unreadable);
    if (c.dialup_out_of_memory) store::set_dialup(DialupResult::OutOfMemory);

    proxy_change_settings(state, "h", 3128);
    EXPECT_FALSE(state.captured);
    EXPECT_FALSE(state.changed);
    EXPECT_TRUE(state.dialup.empty());
    proxy_restore_settings(state);
    for (const std::string& call : store::calls()) EXPECT_EQ(call.rfind("set", 0), std::string::npos) << call;
    EXPECT_EQ(lan_server(), "proxy:8080");
    EXPECT_EQ(store::get("ISP")->proxy_server, "isp:80");

    // Once the LAN can be read again, the next change works.
    store::reset();
    store::put(nullptr, with_server("proxy:8080"));
    proxy_change_settings(state, "h", 3128);
    EXPECT_EQ(lan_server(), "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080");
  }
}

TEST_F(ProxySwitch, UnreadableOrUnwritableEntryDoesNotStopTheOthers) {
  store::put(nullptr, with_server("proxy:8080"));
  store::put("Unreadable", with_server("u:1"));
  store::put("Unwritable", with_server("w:1"));
  store::put("Fine", with_server("f:1"));
  store::fail_queries("Unreadable", true);
  store::fail_sets("Unwritable", true);

  proxy_change_settings(state, "h", 3128);
  EXPECT_EQ(store::get("Unreadable")->proxy_server, "u:1");
  EXPECT_EQ(store::get("Unwritable")->proxy_server, "w:1");
  EXPECT_EQ(store::get("Fine")->proxy_server, "ftp=f:1;gopher=f:1;http=h:3128;https=f:1");
  EXPECT_EQ(lan_server(), "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080");
  ASSERT_EQ(state.dialup.size(), 2u);  // the unreadable entry is not saved, so never restored

  store::fail_queries("Unreadable", false);
  store::clear_calls();
  proxy_restore_settings(state);
  for (const std::string& call : store::calls()) EXPECT_EQ(call.find("Unreadable"), std::string::npos) << call;
  EXPECT_EQ(store::get("Fine")->proxy_server, "f:1");
  EXPECT_EQ(lan_server(), "proxy:8080");
}

TEST_F(ProxySwitch, EmptyHostIsWrittenAsGiven) {
  store::put(nullptr, with_server("https=c:3"));
  proxy_change_settings(state, "", 3128);
  EXPECT_EQ(lan_server(), "http=:3128;https=c:3");
  proxy_restore_settings(state);
  EXPECT_EQ(lan_server(), "https=c:3");
}

// The new text is built in a 256-byte buffer. A text that does not fit refuses the whole change:
// no connection is touched, and the next change starts from scratch.
TEST_F(ProxySwitch, ProxyTextThatDoesNotFitRefusesTheWholeChange) {
  const std::string prefix = "http=";
  const std::string port_text = ":3128";
  const std::string fits(PROXY_TEXT_BUFFER - 1 - prefix.size() - port_text.size(), 'a');
  const std::string too_long = fits + "a";

  store::put(nullptr, with_server(std::nullopt));
  proxy_change_settings(state, fits, 3128);
  EXPECT_EQ(lan_server(), prefix + fits + port_text);
  EXPECT_EQ(lan_server()->size(), PROXY_TEXT_BUFFER - 1);
  proxy_restore_settings(state);
  EXPECT_EQ(lan_server(), std::nullopt);

  store::clear_calls();
  proxy_change_settings(state, too_long, 3128);
  for (const std::string& call : store::calls()) EXPECT_EQ(call.rfind("set", 0), std::string::npos) << call;
  EXPECT_FALSE(state.changed);
  EXPECT_EQ(lan_server(), std::nullopt);

  // A short LAN text but a dial-up entry whose saved proxy makes its text too long: still no
  // connection changes.
  store::put(nullptr, with_server("proxy:8080"));
  store::put("Long", with_server(std::string(80, 'p')));  // used four times over
  store::clear_calls();
  proxy_change_settings(state, "h", 3128);
  for (const std::string& call : store::calls()) EXPECT_EQ(call.rfind("set", 0), std::string::npos) << call;
  EXPECT_EQ(lan_server(), "proxy:8080");
  EXPECT_EQ(store::get("Long")->proxy_server, std::string(80, 'p'));

  // Once the entry is gone the change goes through.
  store::reset();
  store::put(nullptr, with_server("proxy:8080"));
  proxy_change_settings(state, "h", 3128);
  EXPECT_EQ(lan_server(), "ftp=proxy:8080;gopher=proxy:8080;http=h:3128;https=proxy:8080");
}

TEST(ProxyAnsi, PosixCodePageIsUtf8AndRefusesWhatCannotBeAHost) {
  struct Case {
    std::u16string in;
    std::optional<std::string> out;
  };
  const std::vector<Case> cases = {
      {u"proxy.corp", "proxy.corp"},
      {u"", ""},
      {u"прокси.рф", "прокси.рф"},
      {u"\U0001F511", "\xF0\x9F\x94\x91"},
      {std::u16string(u"a\0b", 3), std::nullopt},
      {u"a" + std::u16string(1, char16_t(0xD800)), std::nullopt},
      {std::u16string(1, char16_t(0xDC00)) + u"a", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    const bool ok = ansi_from_utf16(c.in, out);
    EXPECT_EQ(ok, c.out.has_value());
    if (c.out) {
      EXPECT_EQ(out, *c.out);
    }
  }
}

}  // namespace
}  // namespace jarnel::proxy
