// The POSIX stand-in for the per-user Internet settings: an in-process store of connections
// (the LAN and named dial-up entries, each with the five per-connection options) behind the
// functions of conn_options.h, plus a control API through which tests fill it, make calls fail
// and read back what was written. It is built as its own shared library so that wenlofa and a
// test in the same process see one store, as programs on Windows share WinINet's settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../conn_options.h"

namespace jarnel::proxy::store {

struct Connection {
  std::optional<std::string> autoconfig_url;
  std::uint32_t autodiscovery_flags = 1;
  std::uint32_t flags = FLAG_DIRECT;
  std::optional<std::string> proxy_bypass;
  std::optional<std::string> proxy_server;

  bool operator==(const Connection&) const = default;
};

// Back to a fresh user: a LAN connection with default settings, no dial-up entries, the dial-up
// library present, no induced failures and an empty call log.
void reset();

// Sets every option of a connection; name null is the LAN. A new name adds a dial-up entry
// after the existing ones.
void put(const char* name, const Connection& conn);

// The options of a connection; nothing for an unknown name.
std::optional<Connection> get(const char* name);

// How dial-up enumeration answers: Unavailable as when the remote-access library or its
// enumeration function is missing, OutOfMemory as when the entry list cannot be held, Listed
// (the default) with the entries put so far.
void set_dialup(DialupResult result);

// Makes reads (or writes) of one connection fail until cleared; name null is the LAN.
void fail_queries(const char* name, bool fail);
void fail_sets(const char* name, bool fail);

// Every call made so far, in order: "query NAME 4,5,1,3,2" and "set NAME 4,1,3,2" (the option
// numbers in the order given) and "changed"; NAME is LAN for the LAN connection and the quoted
// entry name for a dial-up entry. Failed calls are logged too.
std::vector<std::string> calls();
void clear_calls();

}  // namespace jarnel::proxy::store
