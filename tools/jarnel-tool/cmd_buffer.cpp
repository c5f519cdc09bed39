// jarnel-tool buffer: password-protected buffers (PKCS#7 encrypted data over digested data).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "command.h"
#include "crypto/cadb/cms.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "gost_args.h"
#include "options.h"
#include "output.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool buffer [OPTIONS] encrypt|decrypt --password-file FILE [IN [OUT]]\n"
    "\n"
    "Protects bytes with a password, or recovers them: a DER PKCS#7 encryptedData around a\n"
    "digestedData (GOST R 34.11-94) of the bytes, the key derived with PBKDF2 (8 zero bytes of\n"
    "salt). IN and OUT default to standard input and output ('-' names them too); an OUT file is\n"
    "removed again when the command fails.\n"
    "\n"
    "options:\n"
    "  --password-file FILE  the first line of FILE is the password\n"
    "  --cipher 174|44       encrypt: 174 GOST 28147-89 CFB with HMAC-GOST R 34.11-94 in PBKDF2\n"
    "                        (default), 44 DES-EDE3-CBC with HMAC-SHA-1\n"
    "  --iter N              PBKDF2 iterations (below 1: 2048, the default); decryption needs\n"
    "                        the count used to encrypt\n"
    "  --verbose             on failure, print the library's whole error queue as well\n"
    "  -h, --help            show this help\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed (one line 'jarnel-tool buffer: FILE: reason'\n"
    "on standard error), 2 bad usage.\n";

struct SubHelp {
  const char* name;
  const char* text;
} const kSubHelp[] = {
    {"encrypt",
     "usage: jarnel-tool buffer encrypt --password-file FILE [--cipher 174|44] [--iter N] [IN [OUT]]\n"
     "Writes IN (standard input) protected by the password as DER PKCS#7 to OUT (standard output).\n"},
    {"decrypt",
     "usage: jarnel-tool buffer decrypt --password-file FILE [--iter N] [IN [OUT]]\n"
     "Checks and recovers the bytes protected in IN (standard input) and writes them to OUT\n"
     "(standard output); --iter must be the count used to encrypt.\n"},
};

struct BufferFree {
  void operator()(BUFFER* b) const { BUFFER_free(b); }
};
using BufferPtr = std::unique_ptr<BUFFER, BufferFree>;

// The whole stream into a wiped buffer; null with errno set when it cannot be read.
BufferPtr slurp(std::FILE* in) {
  BufferPtr data(BUFFER_new());
  unsigned char chunk[65536];
  std::size_t n;
  bool ok = data != nullptr;
  int err = ok ? 0 : ENOMEM;
  while (ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    ok = BUFFER_append(data.get(), chunk, static_cast<int>(n)) == static_cast<int>(n);
    if (!ok) err = ENOMEM;
  }
  if (ok && std::ferror(in)) {
    err = errno ? errno : EIO;
    ok = false;
  }
  mem_cleanse(chunk, sizeof chunk);
  if (!ok) {
    data.reset();
    errno = err;
  }
  return data;
}

int run_buffer(int argc, char** argv) {
  const char *password_file = nullptr, *cipher_s = nullptr, *iter_s = nullptr;
  bool help = false;
  Options o("buffer", kUsage);
  o.help_flag(&help).value("--password-file", &password_file).value("--cipher", &cipher_s).value("--iter", &iter_s);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  const char* sub = pos.empty() ? nullptr : pos[0];
  if (help) {
    for (const auto& h : kSubHelp) {
      if (sub && !std::strcmp(sub, h.name)) {
        std::fputs(h.text, stdout);
        return EXIT_OK;
      }
    }
    std::fputs(kUsage, stdout);
    return EXIT_OK;
  }
  if (!sub) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  const bool encrypt = !std::strcmp(sub, "encrypt");
  if (!encrypt && std::strcmp(sub, "decrypt") != 0)
    return usage_error("unknown subcommand '%s' (see jarnel-tool buffer --help)", sub);
  if (pos.size() > 3) return usage_error("too many arguments (see jarnel-tool buffer %s --help)", sub);
  const char* in_path = pos.size() > 1 ? pos[1] : nullptr;
  const char* out_path = pos.size() > 2 ? pos[2] : nullptr;
  if (!password_file) return usage_error("%s needs --password-file", sub);
  int cipher = CMS_NID_rus_gammar, iter = -1;
  if (cipher_s) {
    if (!encrypt) return usage_error("--cipher goes with encrypt only");
    if (std::strcmp(cipher_s, "174") && std::strcmp(cipher_s, "44"))
      return usage_error("--cipher is 174 or 44, not '%s'", cipher_s);
    cipher = std::atoi(cipher_s);
  }
  if (iter_s) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(iter_s, &end, 10);
    if (!*iter_s || *end || errno || n < INT_MIN || n > INT_MAX)
      return usage_error("--iter needs a number, not '%s'", iter_s);
    iter = static_cast<int>(n);
  }

  SecureBuffer password;
  if (!read_small_file(password_file, 65536, password)) {
    if (errno == EFBIG) return fail(password_file, "the password file is larger than 64 KiB");
    return fail_errno(input_name(password_file), errno);
  }
  int pw_len = 0;
  while (static_cast<std::size_t>(pw_len) < password.size() && password.data()[pw_len] != '\n' &&
         password.data()[pw_len] != '\r')
    ++pw_len;
  if (pw_len && std::memchr(password.data(), 0, static_cast<std::size_t>(pw_len)))
    return fail(password_file, "the password holds a zero byte");

  std::FILE* in = open_input(in_path);
  if (!in) return fail_errno(input_name(in_path), errno);
  BufferPtr data = slurp(in);
  const int read_errno = errno;
  if (in != stdin) std::fclose(in);
  if (!data) return fail_errno(input_name(in_path), read_errno);

  // Both functions read a length below 1 as "up to the zero byte": an empty input or password
  // is passed as the empty text.
  static const unsigned char empty = 0;
  const unsigned char* bytes = data->length ? data->data : &empty;
  const unsigned char* pw = pw_len ? password.data() : &empty;
  if (encrypt && !seed_generator()) return EXIT_FAILED;
  BufferPtr result(encrypt ? BUFFER_encrypt(bytes, data->length, cipher, pw, pw_len, iter, CMS_FORMAT_DER)
                           : BUFFER_decrypt(bytes, data->length, pw, pw_len, iter));
  password.reset();
  if (!result)
    return operation_failed(input_name(in_path), encrypt ? "the data could not be protected"
                                                          : "not a protected buffer, or the wrong password");

  // The output is opened only now: a failure above leaves no file behind.
  OutputFile out;
  if (int rc = out.open(out_path); rc >= 0) return rc;
  out.write(result->data, static_cast<std::size_t>(result->length));
  if (int rc = out.close(); rc >= 0) return rc;
  return EXIT_OK;
}

const Command buffer{"buffer", "password-protected buffers (encrypt, decrypt)", run_buffer};

}  // namespace
