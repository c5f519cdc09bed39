// The operating-system services the proxy switch needs, reduced to what it uses: the
// per-connection option list of the Internet settings, the "settings changed" notice, the names
// of the dial-up entries and the conversion of a UTF-16 text into the system's ANSI code page.
// proxy/win/ implements them over WinINet and the remote-access library; proxy/posix/ over an
// in-process store that tests can fill and inspect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jarnel::proxy {

// Option numbers of the per-connection option list (the values WinINet uses).
inline constexpr std::uint32_t OPT_FLAGS = 1;
inline constexpr std::uint32_t OPT_PROXY_SERVER = 2;
inline constexpr std::uint32_t OPT_PROXY_BYPASS = 3;
inline constexpr std::uint32_t OPT_AUTOCONFIG_URL = 4;
inline constexpr std::uint32_t OPT_AUTODISCOVERY_FLAGS = 5;

// Values of OPT_FLAGS.
inline constexpr std::uint32_t FLAG_DIRECT = 1;
inline constexpr std::uint32_t FLAG_PROXY = 2;

// True for the options whose value is a text; the others are 32-bit numbers.
constexpr bool conn_option_is_text(std::uint32_t option) {
  return option == OPT_PROXY_SERVER || option == OPT_PROXY_BYPASS || option == OPT_AUTOCONFIG_URL;
}

// One option of a list. Text options use `text` (null: the option is absent), number options
// use `number`.
struct ConnOption {
  std::uint32_t option = 0;
  std::uint32_t number = 0;
  const char* text = nullptr;
};

// A list of options of one connection: `connection` names a dial-up entry, null is the LAN.
struct ConnOptionList {
  const char* connection = nullptr;
  std::uint32_t count = 0;
  ConnOption* options = nullptr;
};

// Reads every option of the list. On success each text option holds a text owned by the
// platform (or null), which the caller releases with conn_free_text. On failure nothing is
// allocated.
bool conn_query_options(ConnOptionList& list);
void conn_free_text(const char* text);

// Writes every option of the list.
bool conn_set_options(const ConnOptionList& list);

// Tells running programs that the Internet settings changed.
void conn_settings_changed();

enum class DialupResult {
  Unavailable,  // no dial-up library or no enumeration function: only the LAN exists
  Listed,       // `names` holds the entries (possibly none)
  OutOfMemory,  // the list could not be held
};
DialupResult dialup_entry_names(std::vector<std::string>& names);

// Converts a UTF-16 text into the system's ANSI code page. Fails (false) for texts that have no
// faithful ANSI form: unpaired surrogates, characters the code page lacks, or U+0000, which a C
// string cannot carry.
bool ansi_from_utf16(std::u16string_view text, std::string& out);

}  // namespace jarnel::proxy
