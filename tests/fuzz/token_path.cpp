// Token paths from outside: the carrier choice, path building and comparison, container item
// paths, and the PKCS#11, ruToken, eToken, eToken R2 and iButton drivers' own path parsers. Three strings (pieces
// whose length is the next byte), then a reader name.
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/bio/etr2.h"
#include "crypto/bio/token_sdk.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/ibutton_direct.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/pkcs11/pkcs11.h"
#include "fuzz_util.h"

using namespace jarnel;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void sdk_path(void (*parse)(const char*, TOKEN_SDK_PATH*),
              bool (*matches)(const TOKEN_SDK_PATH&, const char*), const char* path,
              const char* reader) {
  TOKEN_SDK_PATH p{};
  parse(path, &p);
  check(strnlen(p.ids, sizeof p.ids) < sizeof p.ids);
  check(strnlen(p.reader_wanted, sizeof p.reader_wanted) < sizeof p.reader_wanted);
  matches(p, reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  const std::string a = in.string(), b = in.string(), c = in.string();
  const std::string reader = in.rest_string();

  const Carrier carrier = CADB_carrier_of(a.c_str());
  check(CADB_is_token_path(a.c_str()) == (carrier != Carrier::FileSystem ? 1 : 0));

  char out[CADB_PATH_BUF + 8];
  std::memset(out, 0, sizeof out);
  std::strncpy(out, c.c_str(), CADB_PATH_BUF - 1);
  CADB_make_path(out, sel & 1 ? a.c_str() : nullptr, sel & 2 ? b.c_str() : nullptr,
                 sel & 4 ? c.c_str() : nullptr);
  check(std::strlen(out) <= static_cast<std::size_t>(CADB_PATH_MAX));
  if (sel & 8) CADB_path_prefix_match(a.c_str(), b.c_str());

  char item[CADB_PATH_BUF + 8];
  const PseItem which = static_cast<PseItem>((sel >> 4) % 6);
  if (PSE_item_path(a.c_str(), which, item)) check(std::strlen(item) <= static_cast<std::size_t>(CADB_PATH_MAX));
  PSE_item_name(a.c_str(), which);

  char name[PKCS11_MODULE_NAME_MAX + 1];
  int slot = -2;
  if (PKCS11_parse_path(a.c_str(), name, &slot)) check(strnlen(name, sizeof name) < sizeof name && slot >= -1);
  if (const char* part = PKCS11_file_part(a.c_str())) check(part >= a.c_str() && part <= a.c_str() + a.size());

  sdk_path(RT_parse_path, RT_reader_matches, a.c_str(), reader.c_str());
  sdk_path(ET_parse_path, ET_reader_matches, a.c_str(), reader.c_str());

  ETR2_PATH r2;
  ETR2_parse_path(a.c_str(), &r2);
  check(r2.count >= 0 && r2.count <= ETR2_PATH_READERS);
  for (int i = 0; i < r2.count; ++i) check(strnlen(r2.readers[i], sizeof r2.readers[i]) < sizeof r2.readers[i]);
  check(strnlen(r2.file, sizeof r2.file) < sizeof r2.file);

  TM_PARSED tm;
  if (TM_parse_path(a.c_str(), &tm)) {
    check(tm.directory.count <= TM_MAX_DIR_COMPONENTS);
    check(tm.entry_valid || tm.entry.extension == TM_DIRECTORY_EXTENSION);
  }
  return 0;
}
