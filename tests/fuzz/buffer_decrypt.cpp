// Password-protected buffers from outside: the PKCS#7 message parser and BUFFER_decrypt (the
// password is the first piece, the rest the message; one PBKDF2 iteration keeps runs fast, and
// the seeds are made with the same count).
#include <cstdlib>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cms.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  auto password = in.piece();
  auto msg = in.rest();
  const int len = static_cast<int>(msg.size());

  const int probed = CADB_CMS_probe_type(msg.data(), len);
  if (CADB_CMS* cms = CADB_CMS_parse(msg.data(), len)) {
    if (CADB_CMS_type(cms) != probed) std::abort();
    CADB_CMS_inner_type(cms);
    CADB_CMS_cipher(cms);
    CADB_CMS_free(cms);
  } else if (probed) {
    std::abort();  // the probe and the parser agree on what is a message
  }
  // A length below 1 means "up to the zero byte": an empty piece is passed as an empty text.
  static const unsigned char kEmpty[1] = {0};
  BUFFER* out = BUFFER_decrypt(msg.empty() ? kEmpty : msg.data(), len,
                               password.empty() ? kEmpty : password.data(),
                               static_cast<int>(password.size()), 1);
  if (out && out->length < 0) std::abort();
  if (out) mem_cleanse(out->data, static_cast<std::size_t>(out->length));
  BUFFER_free(out);
  return 0;
}
