// The proxy switch's platform services on Windows: WinINet's per-connection option list and
// "settings changed" notice, the dial-up entries of the remote-access library (loaded only
// while they are listed, so a system without it still has its LAN handled) and the ANSI code
// page.
#include <windows.h>
#include <wininet.h>
#include <ras.h>

#include <cstdlib>
#include <vector>

#include "../conn_options.h"

namespace jarnel::proxy {

namespace {

// The size field the enumeration expects in every entry record.
constexpr DWORD RAS_ENTRY_NAME_SIZE = 532;
static_assert(sizeof(RASENTRYNAMEA) == RAS_ENTRY_NAME_SIZE);

using RasEnumEntriesFn = DWORD(WINAPI*)(LPCSTR, LPCSTR, LPRASENTRYNAMEA, LPDWORD, LPDWORD);

// Copies our option list into WinINet's form (same members, WinINet's types).
struct WinList {
  explicit WinList(const ConnOptionList& list) : options(list.count) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
      options[i].dwOption = list.options[i].option;
      if (conn_option_is_text(list.options[i].option)) {
        options[i].Value.pszValue = const_cast<LPSTR>(list.options[i].text);
      } else {
        options[i].Value.dwValue = list.options[i].number;
      }
    }
    head.dwSize = sizeof(head);
    head.pszConnection = const_cast<LPSTR>(list.connection);
    head.dwOptionCount = list.count;
    head.dwOptionError = 0;
    head.pOptions = options.data();
  }
  std::vector<INTERNET_PER_CONN_OPTIONA> options;
  INTERNET_PER_CONN_OPTION_LISTA head{};
};

DWORD windows_major_version() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return 0;
  return info.dwMajorVersion;
}

}  // namespace

bool conn_query_options(ConnOptionList& list) {
  WinList win(list);
  DWORD length = sizeof(win.head);
  if (!InternetQueryOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &win.head, &length)) {
    return false;
  }
  for (std::uint32_t i = 0; i < list.count; ++i) {
    if (conn_option_is_text(list.options[i].option)) {
      list.options[i].text = win.options[i].Value.pszValue;
    } else {
      list.options[i].number = win.options[i].Value.dwValue;
    }
  }
  return true;
}

void conn_free_text(const char* text) {
  GlobalFree(reinterpret_cast<HGLOBAL>(const_cast<char*>(text)));
}

bool conn_set_options(const ConnOptionList& list) {
  WinList win(list);
  return InternetSetOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &win.head,
                            sizeof(win.head)) != FALSE;
}

void conn_settings_changed() {
  InternetSetOptionA(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
}

DialupResult dialup_entry_names(std::vector<std::string>& names) {
  names.clear();
  HMODULE ras = LoadLibraryA("RASAPI32.DLL");
  if (ras == nullptr) return DialupResult::Unavailable;
  auto enumerate = reinterpret_cast<RasEnumEntriesFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(ras, "RasEnumEntriesA")));
  if (enumerate == nullptr) {
    FreeLibrary(ras);
    return DialupResult::Unavailable;
  }
  DialupResult result = DialupResult::Listed;
  DWORD size = 0;
  DWORD count = 0;
  // Systems before version 6 want a one-entry buffer even to report the size needed.
  if (windows_major_version() < 6) {
    RASENTRYNAMEA one{};
    one.dwSize = RAS_ENTRY_NAME_SIZE;
    size = RAS_ENTRY_NAME_SIZE;
    enumerate(nullptr, nullptr, &one, &size, &count);
  } else {
    enumerate(nullptr, nullptr, nullptr, &size, &count);
  }
  if (size != 0) {
    auto* entries = static_cast<RASENTRYNAMEA*>(std::calloc(1, size));
    if (entries == nullptr) {
      result = DialupResult::OutOfMemory;
    } else {
      entries[0].dwSize = RAS_ENTRY_NAME_SIZE;
      count = 0;
      // A list that changed size in between is not read at all.
      if (enumerate(nullptr, nullptr, entries, &size, &count) == ERROR_SUCCESS) {
        const DWORD fits = size / RAS_ENTRY_NAME_SIZE;
        try {
          for (DWORD i = 0; i < count && i < fits; ++i) {
            entries[i].szEntryName[sizeof(entries[i].szEntryName) - 1] = '\0';
            names.emplace_back(entries[i].szEntryName);
          }
        } catch (...) {
          result = DialupResult::OutOfMemory;
        }
      }
      std::free(entries);
    }
  }
  FreeLibrary(ras);
  return result;
}

bool ansi_from_utf16(std::u16string_view text, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  for (char16_t c : text) {
    if (c == 0) return false;
  }
  const auto* wide = reinterpret_cast<LPCWCH>(text.data());
  const int wide_length = static_cast<int>(text.size());
  // Characters the code page lacks must not turn into '?' or a look-alike: that would be
  // another host. Under a UTF-8 ANSI code page only unpaired surrogates can fail.
  const bool utf8 = GetACP() == CP_UTF8;
  const UINT code_page = utf8 ? CP_UTF8 : CP_ACP;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  LPBOOL used = utf8 ? nullptr : &used_default;
  const int need = WideCharToMultiByte(code_page, flags, wide, wide_length, nullptr, 0, nullptr, used);
  if (need <= 0 || used_default) return false;
  std::string result(static_cast<std::size_t>(need), '\0');
  if (WideCharToMultiByte(code_page, flags, wide, wide_length, result.data(), need, nullptr, used) != need ||
      used_default) {
    return false;
  }
  out = std::move(result);
  return true;
}

}  // namespace jarnel::proxy
