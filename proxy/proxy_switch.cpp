#include "proxy_switch.h"

#include <array>
#include <cstdio>
#include <new>

#include "conn_options.h"

namespace jarnel::proxy {

namespace {

// Releases the texts a successful conn_query_options handed over, however the copy ends.
class QueriedTexts {
 public:
  explicit QueriedTexts(ConnOptionList& list) : list_(list) {}
  QueriedTexts(const QueriedTexts&) = delete;
  QueriedTexts& operator=(const QueriedTexts&) = delete;
  ~QueriedTexts() {
    for (std::uint32_t i = 0; i < list_.count; ++i) {
      if (conn_option_is_text(list_.options[i].option) && list_.options[i].text != nullptr) {
        conn_free_text(list_.options[i].text);
      }
    }
  }

 private:
  ConnOptionList& list_;
};

std::optional<std::string> copy_text(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

const char* text_or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

const char* name_of(const PROXY_SAVED_CONNECTION& conn) {
  return text_or_null(conn.connection_name);
}

// "http=host:port", the entry every new proxy text carries.
std::string http_entry(std::string_view host, std::int32_t port) {
  std::string out = "http=";
  out.append(host);
  char number[16];
  std::snprintf(number, sizeof(number), ":%i", static_cast<int>(port));
  out += number;
  return out;
}

void write_changed(const PROXY_SAVED_CONNECTION& conn, const std::string& proxy_text) {
  const std::optional<std::string> bypass = proxy_prepare_bypass(conn.proxy_bypass);
  std::array<ConnOption, 4> options{{
      {OPT_AUTOCONFIG_URL, 0, nullptr},
      {OPT_FLAGS, FLAG_DIRECT | FLAG_PROXY, nullptr},
      {OPT_PROXY_BYPASS, 0, text_or_null(bypass)},
      {OPT_PROXY_SERVER, 0, proxy_text.c_str()},
  }};
  ConnOptionList list{name_of(conn), static_cast<std::uint32_t>(options.size()), options.data()};
  (void)conn_set_options(list);  // a connection that refuses keeps its settings; go on
  conn_settings_changed();
}

void write_saved(const PROXY_SAVED_CONNECTION& conn) {
  std::array<ConnOption, 4> options{{
      {OPT_AUTOCONFIG_URL, 0, text_or_null(conn.autoconfig_url)},
      {OPT_FLAGS, conn.flags, nullptr},
      {OPT_PROXY_BYPASS, 0, text_or_null(conn.proxy_bypass)},
      {OPT_PROXY_SERVER, 0, text_or_null(conn.proxy_server)},
  }};
  ConnOptionList list{name_of(conn), static_cast<std::uint32_t>(options.size()), options.data()};
  (void)conn_set_options(list);
  conn_settings_changed();
}

// Reads the dial-up entries and then the LAN connection. True when the LAN read succeeded, the
// only condition under which a change may be applied and later restored.
bool capture(PROXY_STATE& state) {
  state.lan = PROXY_SAVED_CONNECTION{};
  state.dialup.clear();
  state.captured = false;

  std::vector<std::string> names;
  if (dialup_entry_names(names) == DialupResult::OutOfMemory) return false;
  state.dialup.reserve(32);
  for (const std::string& name : names) {
    PROXY_SAVED_CONNECTION conn;
    if (!proxy_read_connection(name.c_str(), conn)) continue;  // unreadable entries are left alone
    state.dialup.push_back(std::move(conn));
  }
  if (!proxy_read_connection(nullptr, state.lan)) {
    state.dialup.clear();
    return false;
  }
  state.captured = true;
  return true;
}

}  // namespace

PROXY_STATE& proxy_state() {
  static PROXY_STATE state;
  return state;
}

bool proxy_read_connection(const char* name, PROXY_SAVED_CONNECTION& out) {
  std::array<ConnOption, 5> options{{
      {OPT_AUTOCONFIG_URL, 0, nullptr},
      {OPT_AUTODISCOVERY_FLAGS, 0, nullptr},
      {OPT_FLAGS, 0, nullptr},
      {OPT_PROXY_BYPASS, 0, nullptr},
      {OPT_PROXY_SERVER, 0, nullptr},
  }};
  ConnOptionList list{name, static_cast<std::uint32_t>(options.size()), options.data()};
  if (!conn_query_options(list)) return false;
  QueriedTexts release(list);
  PROXY_SAVED_CONNECTION conn;
  conn.connection_name = copy_text(name);
  conn.autoconfig_url = copy_text(options[0].text);
  conn.flags = options[2].number;
  conn.proxy_bypass = copy_text(options[3].text);
  conn.proxy_server = copy_text(options[4].text);
  out = std::move(conn);
  return true;
}

std::optional<std::string> proxy_build_text(const std::optional<std::string>& server,
                                            std::string_view host, std::int32_t port) {
  const std::string http = http_entry(host, port);
  std::string out;
  if (!server || server->empty()) {
    out = http;
  } else {
    const std::string_view s = *server;
    if (s.find('=') == std::string_view::npos) {
      // One proxy for every protocol: keep it for all but HTTP.
      out.append("ftp=").append(s).append(";gopher=").append(s).append(";");
      out.append(http).append(";https=").append(s);
    } else if (const auto at = s.find("http="); at != std::string_view::npos) {
      out.append(s.substr(0, at)).append(http);
      if (const auto semi = s.find(';', at); semi != std::string_view::npos) out.append(s.substr(semi));
    } else {
      // No HTTP entry yet: it goes after the gopher entry (or else the ftp entry), or first.
      auto after = s.find("gopher=");
      if (after == std::string_view::npos) after = s.find("ftp=");
      if (after == std::string_view::npos) {
        out.append(http).append(";").append(s);
      } else if (const auto semi = s.find(';', after); semi != std::string_view::npos) {
        out.append(s.substr(0, semi)).append(";").append(http).append(s.substr(semi));
      } else {
        out.append(s).append(";").append(http);
      }
    }
  }
  if (out.size() >= PROXY_TEXT_BUFFER) return std::nullopt;
  return out;
}

std::optional<std::string> proxy_prepare_bypass(const std::optional<std::string>& bypass) {
  if (!bypass) return std::nullopt;
  const auto at = bypass->find("<local>");
  if (at == std::string::npos) return bypass;
  if (at == 0) return std::nullopt;
  // "<local>" goes with the separator before it and everything after it.
  return bypass->substr(0, at - 1);
}

void proxy_change_settings(PROXY_STATE& state, std::string_view host, std::int32_t port) {
  if (state.changed) return;  // the first proxy stays in force until a restore
  try {
    if (!capture(state)) return;
    // Build every text before writing any, so that a text that does not fit refuses the whole
    // change instead of switching some connections and not others.
    std::vector<std::string> texts;
    texts.reserve(state.dialup.size() + 1);
    for (const PROXY_SAVED_CONNECTION& conn : state.dialup) {
      std::optional<std::string> text = proxy_build_text(conn.proxy_server, host, port);
      if (!text) return;
      texts.push_back(std::move(*text));
    }
    std::optional<std::string> lan_text = proxy_build_text(state.lan.proxy_server, host, port);
    if (!lan_text) return;
    state.changed = true;
    for (std::size_t i = 0; i < state.dialup.size(); ++i) write_changed(state.dialup[i], texts[i]);
    write_changed(state.lan, *lan_text);
  } catch (const std::bad_alloc&) {
    // Out of memory before anything was written: the settings stay as they are. A capture cut
    // short must not be restored later.
    if (!state.changed) {
      state.captured = false;
      state.dialup.clear();
    }
  }
}

void proxy_restore_settings(PROXY_STATE& state) {
  if (!state.captured || !state.changed) return;
  for (const PROXY_SAVED_CONNECTION& conn : state.dialup) write_saved(conn);
  write_saved(state.lan);
  state.changed = false;
}

}  // namespace jarnel::proxy
