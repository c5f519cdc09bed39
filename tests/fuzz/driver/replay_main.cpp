// A stand-in for libFuzzer's main, for builds without clang's fuzzer runtime (the default and
// asan presets): replays every file of the given corpus folders, then feeds random mutations of
// them to the harness until the time or run budget is spent. It has no coverage feedback; it
// exists so that CTest runs every harness over its seeds and their near neighbours under the
// sanitizers, and a regression in a parser shows up in the ordinary test run.
//
// usage: fuzz_TARGET [-max_total_time=SECONDS] [-runs=N] [-seed=N] [-max_len=N] PATH...
//
// PATH is a corpus folder or a single input file. With a single file and no time or run budget
// only that file is run (reproducing a crash). When the process dies (a sanitizer report, a
// fatal signal) the input being run is written to crash-<seed>-<n> in the current folder.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*)(void));

namespace {

using Bytes = std::vector<std::uint8_t>;

// The input being run, kept where the death handler can write it out without allocating.
const std::uint8_t* g_current = nullptr;
std::size_t g_current_size = 0;
char g_crash_name[64] = "crash";

void write_current() {
  static bool written = false;
  if (written || !g_current) return;
  written = true;
  int fd = ::open(g_crash_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < g_current_size) {
    ssize_t n = ::write(fd, g_current + done, g_current_size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const char msg[] = "\nreplay driver: the failing input was written to ";
  (void)!::write(2, msg, sizeof msg - 1);
  (void)!::write(2, g_crash_name, std::strlen(g_crash_name));
  (void)!::write(2, "\n", 1);
}

void on_signal(int sig) {
  write_current();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void run(const Bytes& input) {
  // A copy of exactly the input's size, so a read past the end is seen by AddressSanitizer.
  auto* copy = static_cast<std::uint8_t*>(std::malloc(input.size() ? input.size() : 1));
  if (!input.empty()) std::memcpy(copy, input.data(), input.size());
  g_current = copy;
  g_current_size = input.size();
  LLVMFuzzerTestOneInput(copy, input.size());
  g_current = nullptr;
  std::free(copy);
}

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void collect(const std::string& path, std::vector<Bytes>& corpus) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay driver: no such corpus: %s\n", path.c_str());
    std::exit(1);
  }
  if (!S_ISDIR(st.st_mode)) {
    Bytes b;
    if (read_file(path, b)) corpus.push_back(std::move(b));
    return;
  }
  DIR* d = ::opendir(path.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) collect(path + "/" + n, corpus);
}

// One random change of the kinds that find faults in length-prefixed binary formats: bit flips,
// boundary byte values, inserted, removed and repeated ranges, cuts, and splices of two seeds.
void mutate(Bytes& b, const std::vector<Bytes>& corpus, std::mt19937_64& rng, std::size_t max_len) {
  auto pick = [&](std::size_t n) { return n ? static_cast<std::size_t>(rng() % n) : 0; };
  static const std::uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x7f, 0x80, 0x81, 0x82,
                                              0x84, 0xff, 0x30, 0x04, 0x02, 0x03, 0x06};
  switch (rng() % 9) {
    case 0:
      if (!b.empty()) b[pick(b.size())] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      break;
    case 1:
      if (!b.empty()) b[pick(b.size())] = kInteresting[pick(sizeof kInteresting)];
      break;
    case 2:
      if (!b.empty()) b[pick(b.size())] = static_cast<std::uint8_t>(rng());
      break;
    case 3: {
      std::size_t at = pick(b.size() + 1), n = 1 + pick(8);
      for (std::size_t i = 0; i < n; ++i) b.insert(b.begin() + static_cast<long>(at), static_cast<std::uint8_t>(rng()));
      break;
    }
    case 4:
      if (!b.empty()) {
        std::size_t at = pick(b.size()), n = 1 + pick(std::min<std::size_t>(16, b.size() - at));
        b.erase(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
      }
      break;
    case 5:
      if (!b.empty()) {
        std::size_t at = pick(b.size()), n = 1 + pick(std::min<std::size_t>(32, b.size() - at));
        Bytes piece(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
        b.insert(b.begin() + static_cast<long>(pick(b.size() + 1)), piece.begin(), piece.end());
      }
      break;
    case 6:
      b.resize(pick(b.size() + 1));
      break;
    case 7:
      if (!corpus.empty()) {
        const Bytes& other = corpus[pick(corpus.size())];
        std::size_t cut = pick(b.size() + 1), from = pick(other.size() + 1);
        b.resize(cut);
        b.insert(b.end(), other.begin() + static_cast<long>(from), other.end());
      }
      break;
    default:
      // A 16-bit big-endian field set to a boundary value (DER long lengths, counts).
      if (b.size() >= 2) {
        std::size_t at = pick(b.size() - 1);
        static const std::uint16_t kWords[] = {0, 1, 0x7f, 0x80, 0xff, 0x100, 0x7fff, 0xffff};
        std::uint16_t w = kWords[pick(std::size(kWords))];
        b[at] = static_cast<std::uint8_t>(w >> 8);
        b[at + 1] = static_cast<std::uint8_t>(w);
      }
      break;
  }
  if (b.size() > max_len) b.resize(max_len);
}

}  // namespace

int main(int argc, char** argv) {
  double max_time = 0;
  long runs = -1;
  std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::size_t max_len = 4096;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strncmp(a, "-max_total_time=", 16)) max_time = std::atof(a + 16);
    else if (!std::strncmp(a, "-runs=", 6)) runs = std::atol(a + 6);
    else if (!std::strncmp(a, "-seed=", 6)) seed = std::strtoull(a + 6, nullptr, 10);
    else if (!std::strncmp(a, "-max_len=", 9)) max_len = std::strtoul(a + 9, nullptr, 10);
    else if (a[0] == '-') continue;  // other libFuzzer flags mean nothing here
    else paths.emplace_back(a);
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::snprintf(g_crash_name, sizeof g_crash_name, "crash-%llu", static_cast<unsigned long long>(seed));
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(write_current);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, on_signal);

  std::vector<Bytes> corpus;
  for (const auto& p : paths) collect(p, corpus);
  corpus.push_back(Bytes{});  // the empty input is always tried
  for (const auto& input : corpus) run(input);

  long mutations = 0;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  if (max_time > 0 || runs > 0) {
    std::mt19937_64 rng(seed);
    Bytes b;
    while ((max_time <= 0 || elapsed() < max_time) && (runs < 0 || mutations < runs)) {
      // Mostly a fresh seed, sometimes the previous mutant again (deeper changes).
      if (b.empty() || rng() % 4) b = corpus[rng() % corpus.size()];
      for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) mutate(b, corpus, rng, max_len);
      run(b);
      ++mutations;
    }
  }
  std::printf("replay driver: %zu seed inputs, %ld mutations in %.1f s (seed %llu)\n", corpus.size(),
              mutations, elapsed(), static_cast<unsigned long long>(seed));
  return 0;
}
