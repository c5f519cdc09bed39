// jarnel-tool buffer: password-protected buffers (PKCS#7 encrypted data over digested data).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "command.h"
#include "crypto/cadb/cms.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool buffer encrypt|decrypt --password-file FILE [OPTIONS] [IN [OUT]]\n"
    "\n"
    "Protects bytes with a password, or recovers them: a DER PKCS#7 encryptedData around a\n"
    "digestedData (GOST R 34.11-94) of the bytes, the key derived with PBKDF2 (8 zero bytes of\n"
    "salt). IN and OUT default to standard input and output.\n"
    "\n"
    "options:\n"
    "  --password-file FILE  the first line of FILE is the password\n"
    "  --cipher 174|44       encrypt: 174 GOST 28147-89 CFB with HMAC-GOST R 34.11-94 in PBKDF2\n"
    "                        (default), 44 DES-EDE3-CBC with HMAC-SHA-1\n"
    "  --iter N              PBKDF2 iterations (below 1: 2048, the default); decryption needs\n"
    "                        the count used to encrypt\n"
    "  --help                show this help\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed (the reason is printed on standard error),\n"
    "2 bad usage.\n";

struct BufferFree {
  void operator()(BUFFER* b) const { BUFFER_free(b); }
};
using BufferPtr = std::unique_ptr<BUFFER, BufferFree>;

// The whole stream into a wiped buffer.
BufferPtr slurp(std::FILE* in) {
  BufferPtr data(BUFFER_new());
  unsigned char chunk[65536];
  std::size_t n;
  bool ok = data != nullptr;
  while (ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
    ok = BUFFER_append(data.get(), chunk, static_cast<int>(n)) == static_cast<int>(n);
  if (std::ferror(in)) ok = false;
  mem_cleanse(chunk, sizeof chunk);
  if (!ok) data.reset();
  return data;
}

int run_buffer(int argc, char** argv) {
  const char* sub = nullptr;
  const char* files[2] = {};
  int nfiles = 0;
  const char* password_file = nullptr;
  int cipher = CMS_NID_rus_gammar, iter = -1;
  bool cipher_given = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      std::size_t n = std::strlen(name);
      if (!std::strncmp(a, name, n) && a[n] == '=') return a + n + 1;
      if (!std::strcmp(a, name) && i + 1 < argc) return argv[++i];
      return nullptr;
    };
    auto is = [&](const char* name) {
      std::size_t n = std::strlen(name);
      return !std::strncmp(a, name, n) && (a[n] == 0 || a[n] == '=');
    };
    const char* v;
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      std::fputs(kUsage, stdout);
      return EXIT_OK;
    } else if (is("--password-file")) {
      if (!(password_file = value("--password-file"))) return usage_error("--password-file needs a file name");
    } else if (is("--cipher")) {
      v = value("--cipher");
      if (!v || (std::strcmp(v, "174") && std::strcmp(v, "44"))) return usage_error("--cipher is 174 or 44");
      cipher = std::atoi(v);
      cipher_given = true;
    } else if (is("--iter")) {
      char* end = nullptr;
      long n = (v = value("--iter")) ? std::strtol(v, &end, 10) : 0;
      if (!v || !*v || *end || n < INT_MIN || n > INT_MAX) return usage_error("--iter needs a number");
      iter = static_cast<int>(n);
    } else if (a[0] == '-' && a[1] == '-') {
      return usage_error("unknown option '%s' (see jarnel-tool buffer --help)", a);
    } else if (!sub) {
      sub = a;
    } else if (nfiles < 2) {
      files[nfiles++] = a;
    } else {
      return usage_error("too many arguments (see jarnel-tool buffer --help)");
    }
  }
  if (!sub) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  bool encrypt = !std::strcmp(sub, "encrypt");
  if (!encrypt && std::strcmp(sub, "decrypt") != 0)
    return usage_error("unknown subcommand '%s' (see jarnel-tool buffer --help)", sub);
  if (!password_file) return usage_error("%s needs --password-file", sub);
  if (cipher_given && !encrypt) return usage_error("--cipher goes with encrypt only");

  std::FILE* pf = std::fopen(password_file, "rb");
  if (!pf) return usage_error("cannot open '%s'", password_file);
  BufferPtr password = slurp(pf);
  std::fclose(pf);
  if (!password) return usage_error("cannot read '%s'", password_file);
  int pw_len = 0;
  while (pw_len < password->length && password->data[pw_len] != '\n' && password->data[pw_len] != '\r')
    ++pw_len;
  if (std::memchr(password->data, 0, static_cast<std::size_t>(pw_len)))
    return usage_error("the password in '%s' holds a zero byte", password_file);

  std::FILE* in = files[0] && std::strcmp(files[0], "-") ? std::fopen(files[0], "rb") : stdin;
  if (!in) return usage_error("cannot open '%s'", files[0]);
  BufferPtr data = slurp(in);
  if (in != stdin) std::fclose(in);
  if (!data) return usage_error("cannot read %s", files[0] ? files[0] : "standard input");

  // Both functions read a length below 1 as "up to the zero byte": an empty input or password
  // is passed as the empty text.
  static const unsigned char empty = 0;
  const unsigned char* bytes = data->length ? data->data : &empty;
  const unsigned char* pw = pw_len ? password->data : &empty;
  if (encrypt && !seed_generator()) return EXIT_FAILED;
  BufferPtr out(encrypt ? BUFFER_encrypt(bytes, data->length, cipher, pw, pw_len, iter, CMS_FORMAT_DER)
                        : BUFFER_decrypt(bytes, data->length, pw, pw_len, iter));
  if (!out) return operation_failed();

  std::FILE* of = files[1] && std::strcmp(files[1], "-") ? std::fopen(files[1], "wb") : stdout;
  if (!of) {
    std::fprintf(stderr, "jarnel-tool: cannot create '%s'\n", files[1]);
    return EXIT_FAILED;
  }
  std::size_t n = static_cast<std::size_t>(out->length);
  bool ok = std::fwrite(out->data, 1, n, of) == n;
  ok = (of == stdout ? std::fflush(of) == 0 : std::fclose(of) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "jarnel-tool: cannot write %s\n", files[1] ? files[1] : "standard output");
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

const Command buffer{"buffer", "password-protected buffers (encrypt, decrypt)", run_buffer};

}  // namespace
