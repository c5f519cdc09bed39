// wenlofa: points the current user's proxy settings, for the LAN connection and every dial-up
// entry, at one HTTP proxy and later puts back exactly what was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jarnel::proxy {

// The saved settings of one connection. Absent texts stay absent when written back.
struct PROXY_SAVED_CONNECTION {
  std::optional<std::string> proxy_server;
  std::optional<std::string> proxy_bypass;
  std::uint32_t flags = 0;
  std::optional<std::string> autoconfig_url;
  std::optional<std::string> connection_name;  // absent for the LAN connection
};

// What changeSettings captured and whether the new proxy is in force.
struct PROXY_STATE {
  PROXY_SAVED_CONNECTION lan;
  std::vector<PROXY_SAVED_CONNECTION> dialup;
  bool captured = false;  // the settings have been read
  bool changed = false;   // the new proxy is in force and a restore is due
};

// Size of the buffer the new proxy text is built in; texts must leave room for a terminator.
inline constexpr std::size_t PROXY_TEXT_BUFFER = 256;

// The state behind the two JNI methods: one per process, kept until the process ends.
PROXY_STATE& proxy_state();

// Points every connection at host:port unless a change is already in force. host is in the
// system's ANSI code page. Nothing is reported: a failure leaves the settings as they are.
void proxy_change_settings(PROXY_STATE& state, std::string_view host, std::int32_t port);

// Writes back every saved connection when a change is in force.
void proxy_restore_settings(PROXY_STATE& state);

// The proxy text for a connection whose saved server text is `server`: HTTP goes to host:port,
// every other protocol entry stays. Null when the text would not fit PROXY_TEXT_BUFFER.
std::optional<std::string> proxy_build_text(const std::optional<std::string>& server,
                                            std::string_view host, std::int32_t port);

// The bypass list written while the change is in force: the saved list without "<local>" and
// what follows it, so that local names go through the proxy too. Absent when nothing is left to
// set (no saved list, or one that begins with "<local>").
std::optional<std::string> proxy_prepare_bypass(const std::optional<std::string>& bypass);

// Reads one connection's settings (name null: the LAN connection).
bool proxy_read_connection(const char* name, PROXY_SAVED_CONNECTION& out);

}  // namespace jarnel::proxy
