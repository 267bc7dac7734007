// Conversion throughput and memory against a plain copy of the same bytes.
//
// For each shape it writes a dual set (tp1, tz1, ts1 with forward and
// backward spectroscopy blocks) of random samples into a scratch directory,
// then runs, in turn and several times after one warm-up round, the built
// converter on that set and two plain copies of the three source files: `cp`
// (which on Linux leaves the copying to the kernel) and `dd` with 1 MiB
// blocks (which reads and writes through a buffer, as the converter does). It
// prints the best elapsed and processor times, the throughput, the ratios
// converter/copy and the peak resident memory of each.
//
//   plane_bench [--runs N] [--dir PATH] [--converter PATH] [--disk] [XxYxP ...]
//
// By default the sources stay in the page cache and the outputs are left for
// the kernel to write back, so the figures compare the work each process does
// on data in memory. With --disk the sources are evicted from the page cache
// before each run and the time includes flushing the outputs to disk.
//
// Without shapes it runs 256x256x256 (about 67 MB of spectroscopy),
// 810x810x256 (ten times as many pixels) and 256x256x2560 (ten times as many
// points per pixel).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "convert/source_record.h"

namespace {

namespace fs = std::filesystem;

struct Shape {
  std::int32_t x = 0, y = 0, points = 0;
};

struct Options {
  int runs = 5;
  fs::path dir = fs::temp_directory_path();
  std::string converter = PARVANE_BINARY;
  bool disk = false;
  std::vector<Shape> shapes;
};

struct Measurement {
  double seconds = 0;     // elapsed
  double cpu_seconds = 0; // user + system
  long peak_rss_kib = 0;
  bool ok = false;
};

// One command timed by the benchmark.
struct Contender {
  const char *label;
  std::vector<std::string> argv;
  Measurement best;
};

std::optional<Shape> parse_shape(const std::string &text) {
  Shape shape;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%dx%dx%d%c", &shape.x, &shape.y, &shape.points,
                  &tail) != 3 ||
      shape.x <= 0 || shape.y <= 0 || shape.points <= 0)
    return std::nullopt;
  return shape;
}

std::optional<Options> parse_options(int argc, char **argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    const bool has_value = k + 1 < argc;
    if (word == "--runs" && has_value) {
      options.runs = std::max(1, std::atoi(argv[++k]));
    } else if (word == "--dir" && has_value) {
      options.dir = argv[++k];
    } else if (word == "--converter" && has_value) {
      options.converter = argv[++k];
    } else if (word == "--disk") {
      options.disk = true;
    } else if (auto shape = parse_shape(word)) {
      options.shapes.push_back(*shape);
    } else {
      return std::nullopt;
    }
  }
  if (options.shapes.empty())
    options.shapes = {{256, 256, 256}, {810, 810, 256}, {256, 256, 2560}};
  return options;
}

// Random bytes from a fixed-seed generator, so every run sees the same set.
class RandomBytes {
public:
  void fill(std::vector<char> &buffer) {
    for (std::size_t at = 0; at + 8 <= buffer.size(); at += 8) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      for (int b = 0; b < 8; ++b)
        buffer[at + b] = static_cast<char>(state_ >> (8 * b));
    }
  }

private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15u;
};

bool write_random_file(const fs::path &path, std::int64_t bytes,
                       RandomBytes &random) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(std::size_t{1} << 20);
  for (std::int64_t left = bytes; left > 0 && out;) {
    random.fill(buffer);
    const auto count =
        static_cast<std::streamsize>(std::min<std::int64_t>(left, 1 << 20));
    out.write(buffer.data(), count);
    left -= count;
  }
  return static_cast<bool>(out);
}

void put_int(std::string &record, std::int64_t offset, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int b = 0; b < 4; ++b)
    record[static_cast<std::size_t>(offset + b)] =
        static_cast<char>(bits >> (24 - 8 * b));
}

// A dual set number 1: forward and backward topography, forward and backward
// spectroscopy with the same point count.
bool write_set(const fs::path &dir, const Shape &shape) {
  using namespace parvane;
  std::string record(402, '\0');
  put_int(record, OFFSET_IMAGE_SIZE_X, shape.x);
  put_int(record, OFFSET_IMAGE_SIZE_Y, shape.y);
  put_int(record, OFFSET_FORWARD_ONLY, 0);
  put_int(record, OFFSET_SPEC_POINTS_FORWARD, shape.points);
  put_int(record, OFFSET_SPEC_POINTS_BACKWARD, shape.points);
  std::ofstream(dir / "tp1", std::ios::binary) << record;

  const std::int64_t pixels = std::int64_t{shape.x} * shape.y;
  RandomBytes random;
  return write_random_file(dir / "tz1", 2 * 2 * pixels, random) &&
         write_random_file(dir / "ts1", 2 * 2 * pixels * shape.points, random);
}

// Runs `argv` in `dir` and waits for it; the time covers fork to exit.
Measurement run(const fs::path &dir, std::vector<std::string> argv) {
  std::vector<char *> words;
  for (auto &word : argv)
    words.push_back(word.data());
  words.push_back(nullptr);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    if (std::freopen("/dev/null", "w", stdout) != nullptr &&
        ::chdir(dir.c_str()) == 0)
      ::execvp(words[0], words.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
    return {};
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  const auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return {elapsed.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
          usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

constexpr const char *SOURCES[] = {"tp1", "tz1", "ts1"};

void remove_outputs(const fs::path &dir) {
  for (const char *name : {"m1_ori.par", "m1_ori.tf0", "m1_ori.tb0",
                           "m1_ori.sf0", "m1_ori.sb0", "copy"})
    fs::remove_all(dir / name);
  fs::create_directory(dir / "copy");
}

// Drops the (clean) pages of the sources from the page cache.
void evict_sources(const fs::path &dir) {
  for (const char *name : SOURCES) {
    const int descriptor = ::open((dir / name).c_str(), O_RDONLY);
    if (descriptor < 0)
      continue;
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    ::close(descriptor);
  }
}

// Writes every output of the run to disk: the converter's and the copies.
void flush_outputs(const fs::path &dir) {
  std::vector<fs::path> outputs;
  for (const auto &entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().starts_with("m1_ori."))
      outputs.push_back(entry.path());
  for (const auto &entry : fs::directory_iterator(dir / "copy"))
    outputs.push_back(entry.path());
  for (const fs::path &path : outputs) {
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0)
      continue;
    ::fsync(descriptor);
    ::close(descriptor);
  }
}

// Runs every contender once per round, `runs` timed rounds after one
// untimed warm-up round, each run started with no outputs on disk and no
// dirty pages waiting. Keeps the best times and the highest peak memory.
bool race(const Options &options, const fs::path &dir,
          std::vector<Contender> &contenders) {
  for (int round = 0; round <= options.runs; ++round) {
    for (Contender &c : contenders) {
      remove_outputs(dir);
      ::sync();
      if (options.disk)
        evict_sources(dir);
      Measurement m = run(dir, c.argv);
      if (options.disk) {
        const auto start = std::chrono::steady_clock::now();
        flush_outputs(dir);
        const std::chrono::duration<double> flushing =
            std::chrono::steady_clock::now() - start;
        m.seconds += flushing.count();
      }
      if (!m.ok) {
        std::printf("  %s failed\n", c.label);
        return false;
      }
      if (round == 0)
        continue;
      Measurement &best = c.best;
      best.seconds = round == 1 ? m.seconds : std::min(best.seconds, m.seconds);
      best.cpu_seconds = round == 1 ? m.cpu_seconds
                                    : std::min(best.cpu_seconds, m.cpu_seconds);
      best.peak_rss_kib = std::max(best.peak_rss_kib, m.peak_rss_kib);
    }
  }
  remove_outputs(dir);
  return true;
}

void print(const Contender &c, double megabytes) {
  std::printf("  %-10s %7.3f s  %7.1f MB/s  cpu %7.3f s  peak RSS %5.2f MiB\n",
              c.label, c.best.seconds, megabytes / c.best.seconds,
              c.best.cpu_seconds, c.best.peak_rss_kib / 1024.0);
}

// Returns false when the set could not be written or a contender failed.
bool bench_shape(const Options &options, const Shape &shape) {
  const fs::path dir =
      options.dir / ("parvane-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  if (!write_set(dir, shape)) {
    std::printf("cannot write the set in %s\n", dir.c_str());
    return false;
  }
  const double megabytes = static_cast<double>(fs::file_size(dir / "tp1") +
                                               fs::file_size(dir / "tz1") +
                                               fs::file_size(dir / "ts1")) /
                           1e6;
  std::printf("%dx%d pixels, %d points forward and backward: %.1f MB in\n",
              shape.x, shape.y, shape.points, megabytes);

  std::vector<Contender> contenders{
      {"converter", {options.converter, "1"}, {}},
      {"cp", {"cp", SOURCES[0], SOURCES[1], SOURCES[2], "copy/"}, {}},
      {"dd",
       {"sh", "-c",
        "for f in tp1 tz1 ts1; do dd if=$f of=copy/$f bs=1M status=none; done"},
       {}}};
  if (!race(options, dir, contenders))
    return false;
  for (const Contender &c : contenders)
    print(c, megabytes);
  const Measurement &converter = contenders[0].best;
  for (std::size_t k = 1; k < contenders.size(); ++k)
    std::printf("  converter/%-4s elapsed %.2f, cpu %.2f\n",
                contenders[k].label,
                converter.seconds / contenders[k].best.seconds,
                converter.cpu_seconds / contenders[k].best.cpu_seconds);
  std::printf("  targets: converter/copy <= 1.5, converter peak RSS <= 8 MiB "
              "(measured %.2f MiB)\n\n",
              converter.peak_rss_kib / 1024.0);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--dir PATH] [--converter PATH] "
                 "[--disk] [XxYxP ...]\n",
                 argv[0]);
    return 2;
  }
  std::printf("converter %s, best of %d rounds after a warm-up round, in "
              "%s, %s\n\n",
              options->converter.c_str(), options->runs, options->dir.c_str(),
              options->disk ? "sources read from and outputs flushed to disk"
                            : "sources in the page cache");
  std::fflush(stdout);
  bool ok = true;
  for (const Shape &shape : options->shapes) {
    ok = bench_shape(*options, shape) && ok;
    std::fflush(stdout);
  }
  return ok ? 0 : 1;
}
