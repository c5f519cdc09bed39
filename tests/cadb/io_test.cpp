// Whole-file operations on file-system paths, and the branches of the carriers whose vendor
// libraries are missing.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "fixture.h"
#include "tests/support/whole_file_race.h"

using namespace jarnel;
using namespace cadbtest;

namespace {

std::vector<int> io(int func, int line) { return {LIB_CADB, func, R_INTERNAL_ERROR, line}; }

// Records what the file layer opens and every write through the opened BIOs.
struct Watch {
  struct Open {
    std::string path, mode;
    std::uint32_t flags;
    void* arg;
  };
  static inline std::vector<Open> opens;
  static inline std::vector<int> writes;
  static inline bool writes_all_zero = true;

  static long on_bio(BIO*, int oper, const char* argp, int argi, long, long ret) {
    if (oper == (BIO_CB_WRITE | BIO_CB_RETURN)) {
      writes.push_back(static_cast<int>(ret));
      for (int i = 0; i < argi; ++i)
        if (argp[i]) writes_all_zero = false;
    }
    return ret;
  }
  static BIO* opener(const char* path, const char* mode, std::uint32_t flags, void* arg) {
    opens.push_back({path, mode, flags, arg});
    BIO* b = BIO_new_token_file(path, mode, flags, arg);
    if (b) BIO_set_callback(b, on_bio);
    return b;
  }
  Watch() {
    opens.clear();
    writes.clear();
    writes_all_zero = true;
    CADB_set_bio_opener(opener);
  }
  ~Watch() { CADB_set_bio_opener(nullptr); }
};

class IoTest : public TempDirTest {
 protected:
  // A path of exactly n characters inside the test folder (the file name pads it).
  std::string path_of_length(std::size_t n) {
    std::string base = dir_.string() + "/";
    return base + std::string(n - base.size(), 'p');
  }
};

TEST_F(IoTest, WriteThenReadGivesTheBytesBack) {
  std::string bytes("\x00\x01\xff secret \r\n", 13);
  std::string path = at("a/b/c/key.bin");  // the directories are made
  EXPECT_EQ(CADB_write_file(path.c_str(), bytes.data(), 13, 0, nullptr), 13);
  EXPECT_EQ(read_bytes(path), bytes);
  BUFFER* buf = BUFFER_read(path.c_str());
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data), 13), bytes);
  EXPECT_EQ(buf->data[13], 0);
  BUFFER_free(buf);
  EXPECT_EQ(CADB_file_length(path.c_str(), 0, nullptr), 13);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(ERR_get_status(), 0u);
}

TEST_F(IoTest, ZeroLengthFileGivesAnEmptyBufferWithItsTerminatingZero) {
  write_bytes(dir_ / "empty", "");
  BUFFER* buf = BUFFER_read_file(at("empty").c_str(), 0, nullptr);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(buf->length, 0);
  ASSERT_NE(buf->data, nullptr);
  EXPECT_EQ(buf->data[0], 0);
  BUFFER_free(buf);
  // And an empty write makes an empty file.
  static const char nothing = 0;
  EXPECT_EQ(CADB_write_file(at("e2").c_str(), &nothing, 0, 0, nullptr), 0);
  EXPECT_TRUE(fs::is_regular_file(dir_ / "e2"));
  EXPECT_TRUE(drain().empty());
}

TEST_F(IoTest, PathsOf260CharactersAreRefusedAnd259Accepted) {
  std::string ok = path_of_length(259), refused = path_of_length(260);
  static const char data[] = "x";
  EXPECT_EQ(CADB_write_file(ok.c_str(), data, 1, 0, nullptr), 1);
  BUFFER* b = BUFFER_read(ok.c_str());
  EXPECT_NE(b, nullptr);
  BUFFER_free(b);
  EXPECT_EQ(CADB_erase_file(ok.c_str(), 0, nullptr), 1);
  EXPECT_TRUE(drain().empty());

  EXPECT_EQ(CADB_write_file(refused.c_str(), data, 1, 0, nullptr), 0);
  EXPECT_EQ(BUFFER_read(refused.c_str()), nullptr);
  EXPECT_EQ(CADB_erase_file(refused.c_str(), 0, nullptr), 0);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(codes(errors)[0], io(CADB_F_CADB_WRITE_FILE, 874));
  EXPECT_EQ(codes(errors)[1], (std::vector<int>{LIB_BUF, BUF_F_BUFFER_READ_FILE, 12, 170}));
  EXPECT_EQ(errors[1].file, "..\\..\\crypto\\cadb\\n_buffer");
  EXPECT_EQ(codes(errors)[2], io(CADB_F_CADB_ERASE_FILE, 1014));
  EXPECT_EQ(errors[2].file, "..\\..\\crypto\\cadb\\n_io");
  EXPECT_FALSE(fs::exists(refused));
}

TEST_F(IoTest, NullAndBadArgumentsAreRefusedBeforeAnythingIsTouched) {
  write_bytes(dir_ / "keep", "precious");
  std::string keep = at("keep");
  EXPECT_EQ(CADB_write_file(nullptr, "x", 1, 0, nullptr), 0);
  EXPECT_EQ(CADB_write_file(keep.c_str(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(CADB_write_file(keep.c_str(), "x", -1, 0, nullptr), 0);
  EXPECT_EQ(read_bytes(keep), "precious");
  EXPECT_EQ(BUFFER_read_file(nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(CADB_erase_file(nullptr, 0, nullptr), 0);
  EXPECT_EQ(CADB_write_buffer(nullptr, nullptr, 0, nullptr), -1);
  EXPECT_EQ(CADB_write(keep.c_str(), nullptr), -1);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(codes(errors)[0], io(CADB_F_CADB_WRITE_FILE, 869));
  EXPECT_EQ(codes(errors)[2], io(CADB_F_CADB_WRITE_FILE, 869));
  EXPECT_EQ(codes(errors)[3][3], 165);
  EXPECT_EQ(codes(errors)[4], io(CADB_F_CADB_ERASE_FILE, 1009));
  for (const char* p : {static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(CADB_file_length(p, 0, nullptr), -1);
    EXPECT_FALSE(CADB_file_exists(p));
    EXPECT_FALSE(CADB_is_file(p));
    EXPECT_FALSE(CADB_is_directory(p));
    EXPECT_FALSE(CADB_mkdir(p));
    EXPECT_FALSE(CADB_token_mkdir(p, 0, nullptr));
    EXPECT_FALSE(CADB_token_rmdir(p, 0, nullptr));
  }
}

TEST_F(IoTest, ReadOfAMissingFileRecordsEachLayer) {
  std::string path = at("missing");
  EXPECT_EQ(BUFFER_read_file(path.c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(ERR_get_status(), 12u);  // the driver's errors came first
  auto errors = drain();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].lib, LIB_SYS);
  EXPECT_EQ(errors[1].lib, LIB_BIO);
  EXPECT_EQ(codes(errors)[2], (std::vector<int>{LIB_BUF, BUF_F_BUFFER_READ_FILE, 12, 179}));
  EXPECT_EQ(CADB_file_length(path.c_str(), 0, nullptr), -1);
}

TEST_F(IoTest, WriteWhereAFileStandsForADirectoryFails) {
  write_bytes(dir_ / "plain", "x");
  std::string path = at("plain/sub/key");
  EXPECT_EQ(CADB_write_file(path.c_str(), "abc", 3, 0, nullptr), 0);
  auto errors = drain();
  ASSERT_GE(errors.size(), 3u);
  EXPECT_EQ(codes(errors)[0], io(CADB_F_CADB_MKDIR, 735));
  EXPECT_EQ(errors[0].data, "");  // the line alone, as the layer's other fixed lines
  EXPECT_EQ(codes(errors)[1], io(CADB_F_CADB_WRITE_FILE, 787));
  EXPECT_EQ(codes(errors)[2], io(CADB_F_CADB_WRITE_FILE, 911));
  EXPECT_EQ(codes(errors)[3], io(CADB_F_CADB_WRITE_FILE, 920));

  // Directly under the file: the directories exist (there are none to make), the open fails.
  ERR_clear_error();
  EXPECT_EQ(CADB_write_file(at("plain/key").c_str(), "abc", 3, 0, nullptr), 0);
  EXPECT_EQ(ERR_get_status(), CADB_STATUS_CANNOT_WRITE);
  errors = drain();
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(codes(errors)[2], io(CADB_F_CADB_WRITE_FILE, 794));
  EXPECT_EQ(codes(errors)[3], io(CADB_F_CADB_WRITE_FILE, 911));
  EXPECT_EQ(codes(errors)[4], io(CADB_F_CADB_WRITE_FILE, 920));
  EXPECT_EQ(read_bytes(dir_ / "plain"), "x");
}

TEST_F(IoTest, WriteThatCannotReachTheDeviceIsAFailure) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(CADB_write_file("/dev/full", "abc", 3, 0, nullptr), 0);
  EXPECT_EQ(ERR_get_status(), CADB_STATUS_CANNOT_WRITE);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(codes(errors)[0], io(CADB_F_CADB_WRITE_FILE, 801));
}

TEST_F(IoTest, EraseWritesZerosInPiecesOf4096BeforeDeleting) {
  std::string secret(5000, 'K');
  write_bytes(dir_ / "k5000", secret);
  // A second name for the same file keeps its contents visible after the erase.
  fs::create_hard_link(dir_ / "k5000", dir_ / "witness");
  {
    Watch watch;
    EXPECT_EQ(CADB_erase_file(at("k5000").c_str(), 16, &watch), 1);
    ASSERT_EQ(Watch::opens.size(), 1u);
    EXPECT_EQ(Watch::opens[0].mode, "r+b");
    EXPECT_EQ(Watch::opens[0].flags, 16u);
    EXPECT_EQ(Watch::opens[0].arg, &watch);
    EXPECT_EQ(Watch::writes, (std::vector<int>{4096, 904}));
    EXPECT_TRUE(Watch::writes_all_zero);
  }
  EXPECT_FALSE(fs::exists(dir_ / "k5000"));
  EXPECT_EQ(read_bytes(dir_ / "witness"), std::string(5000, '\0'));
  EXPECT_TRUE(drain().empty());
}

TEST_F(IoTest, EraseOfAMissingOrReadOnlyFileSucceeds) {
  EXPECT_EQ(CADB_erase_file(at("never-there").c_str(), 0, nullptr), 1);
  write_bytes(dir_ / "ro", "read only");
  fs::permissions(dir_ / "ro", fs::perms::owner_read);
  EXPECT_EQ(CADB_erase_file(at("ro").c_str(), 0, nullptr), 1);
  EXPECT_FALSE(fs::exists(dir_ / "ro"));
  write_bytes(dir_ / "zero", "");
  EXPECT_EQ(CADB_erase_file(at("zero").c_str(), 0, nullptr), 1);
  EXPECT_FALSE(fs::exists(dir_ / "zero"));
  EXPECT_TRUE(drain().empty());
}

TEST_F(IoTest, EraseOfADirectoryFailsAndLeavesItAlone) {
  fs::create_directory(dir_ / "d");
  write_bytes(dir_ / "d" / "inside", "data");
  auto before = fs::status(dir_ / "d").permissions();
  EXPECT_EQ(CADB_erase_file(at("d").c_str(), 0, nullptr), 0);
  auto errors = drain();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(codes(errors).back(), io(CADB_F_CADB_ERASE_FILE, 1065));
  EXPECT_EQ(read_bytes(dir_ / "d" / "inside"), "data");
  EXPECT_EQ(fs::status(dir_ / "d").permissions(), before);
}

namespace {
// Permission bits of a path (not following a final link).
unsigned mode_of(const fs::path& p) {
  struct stat sb;
  return ::lstat(p.c_str(), &sb) == 0 ? (sb.st_mode & 07777) : 0xFFFFu;
}
// Sets the process's file-creation mask for as long as it lives.
struct Umask {
  mode_t old;
  explicit Umask(mode_t m) : old(::umask(m)) {}
  ~Umask() { ::umask(old); }
};
}  // namespace

TEST_F(IoTest, PrivateFilesAndTheirNewFoldersAreTheOwnersAlone) {
  const std::string data = "private key bytes";
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    Umask um(mask);
    fs::path base = dir_ / ("m" + std::to_string(mask));
    fs::create_directory(base);
    std::string priv = (base / "new" / "deeper" / "secret.key").string();
    ASSERT_EQ(CADB_write_file(priv.c_str(), data.data(), static_cast<int>(data.size()),
                              TOKEN_FLAG_PRIVATE, nullptr),
              static_cast<int>(data.size()));
    EXPECT_EQ(mode_of(base / "new" / "deeper" / "secret.key"), 0600u);
    EXPECT_EQ(mode_of(base / "new"), 0700u);
    EXPECT_EQ(mode_of(base / "new" / "deeper"), 0700u);
    EXPECT_EQ(read_bytes(priv), data);
    // An empty private file as well.
    std::string empty = (base / "empty.key").string();
    ASSERT_EQ(CADB_write_file(empty.c_str(), "", 0, TOKEN_FLAG_PRIVATE, nullptr), 0);
    EXPECT_EQ(mode_of(empty), 0600u);
    EXPECT_TRUE(drain().empty());
  }
  // A public file and its folders keep the system's defaults under the usual mask.
  Umask um(022);
  std::string pub = at("pub/dir/cert.cer");
  ASSERT_EQ(CADB_write_file(pub.c_str(), data.data(), static_cast<int>(data.size()), 0, nullptr),
            static_cast<int>(data.size()));
  EXPECT_EQ(mode_of(pub), 0644u);
  EXPECT_EQ(mode_of(dir_ / "pub" / "dir"), 0755u);
  // Private bytes written over an existing world-readable file take it from the others; public
  // bytes leave an existing file's permissions as they are.
  write_bytes(dir_ / "was-public", "old");
  fs::permissions(dir_ / "was-public", static_cast<fs::perms>(0644));
  ASSERT_EQ(CADB_write_file(at("was-public").c_str(), data.data(), static_cast<int>(data.size()),
                            TOKEN_FLAG_PRIVATE, nullptr),
            static_cast<int>(data.size()));
  EXPECT_EQ(mode_of(dir_ / "was-public"), 0600u);
  write_bytes(dir_ / "shared", "old");
  fs::permissions(dir_ / "shared", static_cast<fs::perms>(0664));
  ASSERT_EQ(CADB_write_file(at("shared").c_str(), "new", 3, 0, nullptr), 3);
  EXPECT_EQ(mode_of(dir_ / "shared"), 0664u);
}

TEST_F(IoTest, EraseRefusesASymbolicLinkAndLeavesItsTargetAlone) {
  fs::path outside = dir_ / "elsewhere";
  fs::create_directory(outside);
  write_bytes(outside / "precious", "keep me");
  fs::permissions(outside / "precious", fs::perms::owner_read);
  fs::create_symlink(outside / "precious", dir_ / "link");
  EXPECT_EQ(CADB_erase_file(at("link").c_str(), 0, nullptr), 0);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].func, CADB_F_CADB_ERASE_FILE);
  EXPECT_NE(errors[0].data.find("symbolic link not erased: "), std::string::npos) << errors[0].data;
  EXPECT_EQ(read_bytes(outside / "precious"), "keep me");
  EXPECT_EQ(mode_of(outside / "precious"), 0400u);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  // A link whose target is gone names nothing to overwrite: it is removed like any stale name.
  fs::create_symlink(dir_ / "gone", dir_ / "dangling");
  EXPECT_EQ(CADB_erase_file(at("dangling").c_str(), 0, nullptr), 1);
  EXPECT_FALSE(fs::is_symlink(dir_ / "dangling"));
}

TEST_F(IoTest, TokenFileBytesNeverRestInTheStreamBuffer) {
  // The C library frees its stream buffers without wiping them; a token file's bytes must not
  // pass through one. The stream's own buffer is looked at while the file is open.
  std::string secret;
  for (int i = 0; i < 6000; ++i) secret.push_back(static_cast<char>('A' + (i * 7 + i / 26) % 26));
  secret += "\nsecond line of the key\n";
  auto leaks = [&](BIO* b) {
    std::FILE* fp = nullptr;
    BIO_ctrl(b, BIO_C_GET_FILE_PTR, 0, &fp);
    if (!fp || !fp->_IO_buf_base) return std::string();
    std::string held(fp->_IO_buf_base, static_cast<std::size_t>(fp->_IO_buf_end - fp->_IO_buf_base));
    // Any eight bytes of the secret in the buffer count.
    for (std::size_t i = 0; i + 8 <= secret.size(); i += 1)
      if (held.size() >= 8 && held.find(secret.substr(i, 8)) != std::string::npos)
        return "buffer of " + std::to_string(held.size()) + " bytes holds key bytes";
    return std::string();
  };
  std::string path = at("k.key");
  BIO* w = BIO_new_token_file(path.c_str(), "wb", TOKEN_FLAG_PRIVATE, nullptr);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(BIO_write(w, secret.data(), static_cast<int>(secret.size())), static_cast<int>(secret.size()));
  EXPECT_EQ(leaks(w), "");
  BIO_free(w);
  EXPECT_EQ(read_bytes(path), secret);

  BIO* r = BIO_new_token_file(path.c_str(), "rb", TOKEN_FLAG_PRIVATE, nullptr);
  ASSERT_NE(r, nullptr);
  std::string got(6000, '\0');
  ASSERT_EQ(BIO_read(r, got.data(), 6000), 6000);
  EXPECT_EQ(got, secret.substr(0, 6000));
  EXPECT_EQ(leaks(r), "");
  char line[64];
  ASSERT_EQ(BIO_gets(r, line, sizeof line), 1);  // the rest of the first line: its "\n"
  ASSERT_EQ(BIO_gets(r, line, sizeof line), 23);
  EXPECT_STREQ(line, "second line of the key\n");
  EXPECT_EQ(BIO_gets(r, line, sizeof line), 0);
  EXPECT_EQ(leaks(r), "");
  BIO_free(r);
  // And through the whole-file calls.
  BUFFER* buf = BUFFER_read_file(path.c_str(), TOKEN_FLAG_PRIVATE, nullptr);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf->data), static_cast<std::size_t>(buf->length)), secret);
  BUFFER_free(buf);
  EXPECT_TRUE(drain().empty());
}

TEST_F(IoTest, TypeTestsFollowTheFileSystem) {
  write_bytes(dir_ / "f", "12345");
  fs::create_directory(dir_ / "d");
  struct Case {
    std::string path;
    bool exists, is_file, is_dir;
    long length;
  } cases[] = {
      {at("f"), true, true, false, 5},
      {at("d"), true, false, true, 0},  // a directory has no length of its own
      {at("missing"), false, false, false, -1},
      {dir_.string() + "\\f", true, true, false, 5},  // backslashes separate as well
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CADB_file_exists(c.path.c_str()) != 0, c.exists) << c.path;
    EXPECT_EQ(CADB_is_file(c.path.c_str()) != 0, c.is_file) << c.path;
    EXPECT_EQ(CADB_is_directory(c.path.c_str()) != 0, c.is_dir) << c.path;
    EXPECT_EQ(CADB_file_length(c.path.c_str(), 0, nullptr), c.length) << c.path;
    EXPECT_EQ(CADB_is_inserted(c.path.c_str()), 1);
    EXPECT_EQ(CADB_logout(c.path.c_str()), 1);
    EXPECT_EQ(CADB_attach_token(c.path.c_str()), 1);
  }
  EXPECT_TRUE(drain().empty());
}

TEST_F(IoTest, MkdirMakesTheDirectoriesAboveTheFile) {
  EXPECT_EQ(CADB_mkdir(at("x/y/z/file").c_str()), 1);
  EXPECT_TRUE(fs::is_directory(dir_ / "x" / "y" / "z"));
  EXPECT_FALSE(fs::exists(dir_ / "x" / "y" / "z" / "file"));
  EXPECT_EQ(CADB_mkdir("relative-name-only"), 1);  // nothing above it
  EXPECT_EQ(CADB_mkdir("ruToken:1001\\2002"), 1);   // token paths need nothing
}

TEST_F(IoTest, TokenMkdirLeavesTheDirectoryExisting) {
  std::string nested = at("one/two/three");
  EXPECT_EQ(CADB_token_mkdir(nested.c_str(), 16, nullptr), 1);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(CADB_token_mkdir(nested.c_str(), 16, nullptr), 1);  // already there
  EXPECT_EQ(CADB_token_mkdir((nested + "/").c_str(), 16, nullptr), 1);
  write_bytes(dir_ / "file", "x");
  EXPECT_EQ(CADB_token_mkdir(at("file").c_str(), 16, nullptr), 0);  // a file is not a directory
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(CADB_token_mkdir(at("file/sub").c_str(), 16, nullptr), 0);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(codes(errors)[0], io(CADB_F_CADB_MKDIR, 735));
  EXPECT_EQ(CADB_token_mkdir(path_of_length(260).c_str(), 16, nullptr), 0);
  errors = drain();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].func, CADB_F_CADB_TOKEN_MKDIR);
}

TEST_F(IoTest, TokenRmdirRemovesOnlyAnEmptyDirectory) {
  fs::create_directories(dir_ / "full");
  write_bytes(dir_ / "full" / "k", "x");
  fs::create_directories(dir_ / "empty");
  write_bytes(dir_ / "file", "x");
  EXPECT_EQ(CADB_token_rmdir(at("full").c_str(), 16, nullptr), 0);
  EXPECT_EQ(read_bytes(dir_ / "full" / "k"), "x");
  EXPECT_EQ(CADB_token_rmdir(at("file").c_str(), 16, nullptr), 0);
  EXPECT_TRUE(fs::exists(dir_ / "file"));
  EXPECT_EQ(CADB_token_rmdir(at("empty").c_str(), 16, nullptr), 1);
  EXPECT_FALSE(fs::exists(dir_ / "empty"));
  EXPECT_EQ(CADB_token_rmdir(at("missing").c_str(), 16, nullptr), 0);
}

TEST_F(IoTest, SetPermissionsMakesWritableOrReadOnly) {
  write_bytes(dir_ / "p", "x");
  EXPECT_EQ(CADB_set_permissions(at("p").c_str(), 0400), 1);
  EXPECT_EQ(fs::status(dir_ / "p").permissions() & fs::perms::all & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write), fs::perms::none);
  EXPECT_EQ(CADB_set_permissions(at("p").c_str(), 0600), 1);
  EXPECT_NE(fs::status(dir_ / "p").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(CADB_set_permissions(at("missing").c_str(), 0600), 0);
  EXPECT_EQ(CADB_set_permissions("ruToken:1001", 0600), 1);
}

// Carriers whose vendor library is missing: every operation fails without touching anything,
// except where the layer itself answers for the carrier.
TEST_F(IoTest, CarriersWithoutTheirLibraryFailCleanly) {
  struct Case {
    const char* path;
    int inserted;  // what the layer answers for presence, logout and attach
    int erased;    // the BIO carriers find nothing to erase; the PKCS#11 store's delete by path
                   // cannot reach its module, which is no success
  } cases[] = {
      {"iButton:\\KEYS\\RAND.1", 1, 1},
      {"ruToken:1001\\2002", 0, 1},
      {"eToken:1001\\2002", 0, 1},
      {"eTR2:\\1001", 0, 1},
      {"pkcs11:\\softhsm2\\mk.db3", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_FALSE(CADB_file_exists(c.path));
    EXPECT_FALSE(CADB_is_file(c.path));
    EXPECT_FALSE(CADB_is_directory(c.path));
    EXPECT_EQ(CADB_is_inserted(c.path), c.inserted);
    EXPECT_EQ(CADB_logout(c.path), c.inserted);
    EXPECT_EQ(CADB_attach_token(c.path), c.inserted);
    EXPECT_EQ(CADB_erase_file(c.path, 16, nullptr), c.erased);
    EXPECT_FALSE(CADB_token_rmdir(c.path, 16, nullptr));
    EXPECT_EQ(CADB_list_directory(c.path, 2, nullptr, nullptr), 0);
    drain();
  }
  // The BIO carriers: opening fails in the driver, so reading and writing fail.
  for (const char* path : {"iButton:\\KEYS\\RAND.1", "ruToken:1001\\2002", "eToken:1001\\2002", "eTR2:\\1001"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(BUFFER_read_file(path, 16, nullptr), nullptr);
    EXPECT_EQ(CADB_file_length(path, 16, nullptr), -1);
    EXPECT_EQ(CADB_write_file(path, "x", 1, 16, nullptr), 0);
    auto errors = drain();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(codes(errors).back(), io(CADB_F_CADB_WRITE_FILE, 920));
  }
  // Nothing of those names appeared in the current directory.
  EXPECT_FALSE(fs::exists("ruToken:1001"));
  EXPECT_FALSE(fs::exists("iButton:\\KEYS\\RAND.1"));
}

TEST_F(IoTest, TokenMkdirWritesAndErasesAPlaceholderInside) {
  struct Case {
    const char* dir;
    const char* placeholder;
  } cases[] = {
      {"iButton:/KEYS", "iButton:\\KEYS\\0001.000"},
      {"ruToken:1001", "ruToken:1001\\0001"},
      {"eToken:\\3f00\\e007\\1001", "eToken:\\3f00\\e007\\1001\\0001"},
      {"eTR2:/1001", "eTR2:\\1001\\0001"},
  };
  for (const auto& c : cases) {
    Watch watch;
    EXPECT_EQ(CADB_token_mkdir(c.dir, 16, &watch), 0) << c.dir;  // the driver cannot write yet
    ASSERT_EQ(Watch::opens.size(), 1u) << c.dir;
    EXPECT_EQ(Watch::opens[0].path, c.placeholder);
    EXPECT_EQ(Watch::opens[0].mode, "wb");
    EXPECT_EQ(Watch::opens[0].arg, &watch);
    drain();
  }
}

}  // namespace

// Threads of one process rewriting and reading one file in a folder: opening for writing
// empties the file, so without the whole-file lock a reader saw it empty or half written and
// two writers mixed their bytes.
TEST_F(IoTest, ConcurrentRewritesAndReadsOfOneFileStayWhole) {
  const std::string path = at("shared.bin");
  auto write = [&](const std::string& data) {
    return CADB_write_file(path.c_str(), data.data(), static_cast<int>(data.size()), 0,
                           nullptr) == static_cast<int>(data.size());
  };
  auto read = [&]() -> std::optional<std::string> {
    BUFFER* b = BUFFER_read(path.c_str());
    if (!b) return std::nullopt;
    std::string out(reinterpret_cast<char*>(b->data), static_cast<std::size_t>(b->length));
    BUFFER_free(b);
    return out;
  };
  ASSERT_TRUE(write(racetest::record_of(0)));
  racetest::RaceResult r = racetest::whole_file_race(4, 4, 300, write, read);
  EXPECT_EQ(r.failed_writes, 0);
  EXPECT_EQ(r.failed_reads, 0);
  EXPECT_TRUE(r.bad_reads.empty()) << r.bad_reads.front().size() << " bytes";
  EXPECT_TRUE(racetest::is_record(read_bytes(path)));
}
