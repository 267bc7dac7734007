// Conversion throughput and memory against a plain copy of the same bytes.
//
// For each shape it writes a set number 1 (tp1, tz1, ts1) of random samples
// into a scratch directory, then runs, one untimed warm-up round and several
// timed rounds, the built converter on that set, optionally a baseline
// converter (an earlier build) on the same set, and `cp` of the three source
// files (which on Linux leaves the copying to the kernel). Every round runs
// each of them once, starting with a different one each round, so that
// noise from other work on the machine falls on all of them alike. It prints
// the median elapsed and processor times, the throughput, the ratios and the
// peak resident memory of each, checks in the warm-up round that both
// converters wrote the same bytes, and ends with a table of all shapes.
//
//   plane_bench [--runs N] [--dir PATH] [--converter PATH] [--baseline PATH]
//               [--disk] [XxYxP | XxYxPf ...]
//
// A shape XxYxP is a dual set (forward and backward topography and
// spectroscopy, P points each way); XxYxPf a forward-only set.
//
// By default the sources stay in the page cache and the outputs are left for
// the kernel to write back, so the figures compare the work each process does
// on data in memory. With --disk the sources are evicted from the page cache
// before each run and the time includes flushing the outputs to disk.
//
// Without shapes it runs 256x256x256 (a typical grid, 67 MB of
// spectroscopy), 256x256x2560 and 64x64x16384 (thousands of points per
// pixel), 64x64x16384f (the same, forward only) and 2048x2048x8 (many pixels,
// few points).
#include <fcntl.h>
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

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using namespace parvane::bench;

struct Options {
  int runs = 7;
  fs::path dir = fs::temp_directory_path();
  std::string converter = PARVANE_BINARY;
  std::string baseline; // none when empty
  bool disk = false;
  std::vector<Shape> shapes;
};

// One command timed by the benchmark: its runs, and their medians.
struct Contender {
  const char *label;
  std::vector<std::string> argv;
  bool converts = false; // writes the m1_ori.* files
  std::vector<Measurement> runs;
  Measurement median;
};

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
    } else if (word == "--baseline" && has_value) {
      options.baseline = argv[++k];
    } else if (word == "--disk") {
      options.disk = true;
    } else if (auto shape = parse_shape(word)) {
      options.shapes.push_back(*shape);
    } else {
      return std::nullopt;
    }
  }
  if (options.shapes.empty())
    options.shapes = default_shapes();
  return options;
}

// Runs `argv` in `dir` and waits for it; the time covers fork to exit.
Measurement run(const fs::path &dir, std::vector<std::string> argv) {
  std::vector<char *> words;
  for (auto &word : argv)
    words.push_back(word.data());
  words.push_back(nullptr);
  return in_child([&] {
    if (std::freopen("/dev/null", "w", stdout) != nullptr &&
        ::chdir(dir.c_str()) == 0)
      ::execvp(words[0], words.data());
    return 127;
  });
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

// FNV-1a over the converter's outputs, in name order: equal digests mean
// (all but certainly) equal bytes.
std::uint64_t digest_outputs(const fs::path &dir) {
  std::vector<fs::path> outputs;
  for (const auto &entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().starts_with("m1_ori."))
      outputs.push_back(entry.path());
  std::sort(outputs.begin(), outputs.end());
  std::uint64_t hash = 0xCBF29CE484222325u;
  std::vector<char> buffer(std::size_t{1} << 20);
  for (const fs::path &path : outputs) {
    for (const char c : path.filename().string())
      hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
    std::ifstream in(path, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
           in.gcount() > 0) {
      for (std::streamsize k = 0; k < in.gcount(); ++k)
        hash = (hash ^ static_cast<unsigned char>(buffer[k])) * 0x100000001B3u;
    }
  }
  return hash;
}

// Runs every contender once per round, `runs` timed rounds after one
// untimed warm-up round, each run started with no outputs on disk and no
// dirty pages waiting; round r starts with contender r (modulo their
// number). Keeps the medians and the highest peak memory. In the warm-up
// round the converters' outputs must agree byte for byte.
bool race(const Options &options, const fs::path &dir,
          std::vector<Contender> &contenders) {
  const std::size_t count = contenders.size();
  std::optional<std::uint64_t> digest;
  for (int round = 0; round <= options.runs; ++round) {
    for (std::size_t k = 0; k < count; ++k) {
      Contender &c = contenders[(static_cast<std::size_t>(round) + k) % count];
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
      if (round == 0 && c.converts) {
        const std::uint64_t outputs = digest_outputs(dir);
        if (digest && *digest != outputs) {
          std::printf("  %s wrote different bytes\n", c.label);
          return false;
        }
        digest = outputs;
      }
      if (round > 0)
        c.runs.push_back(m);
    }
  }
  remove_outputs(dir);
  for (Contender &c : contenders)
    c.median = summary(c.runs);
  return true;
}

void print(const Contender &c, double megabytes) {
  std::printf("  %-10s %7.3f s  %7.1f MB/s  cpu %7.3f s  peak RSS %5.2f MiB\n",
              c.label, c.median.seconds, megabytes / c.median.seconds,
              c.median.cpu_seconds, c.median.peak_rss_kib / 1024.0);
}

// One line of the closing table.
struct Row {
  std::string shape;
  double megabytes = 0;
  std::vector<Measurement> medians; // [baseline,] converter, cp
};

// Returns false when the set could not be written or a contender failed.
bool bench_shape(const Options &options, const Shape &shape,
                 std::vector<Row> &table) {
  const ScratchDir scratch(options.dir /
                           ("parvane-bench-" + std::to_string(::getpid())));
  const fs::path &dir = scratch.path;
  if (!write_set(dir, shape, shape_record(shape))) {
    std::printf("cannot write the set in %s\n", dir.c_str());
    return false;
  }
  const double megabytes = static_cast<double>(fs::file_size(dir / "tp1") +
                                               fs::file_size(dir / "tz1") +
                                               fs::file_size(dir / "ts1")) /
                           1e6;
  std::printf("%s: %dx%d pixels, %d points per pixel and direction, %.1f MB "
              "in\n",
              name_of(shape).c_str(), shape.x, shape.y, shape.points,
              megabytes);

  std::vector<Contender> contenders;
  if (!options.baseline.empty())
    contenders.push_back({"baseline", {options.baseline, "1"}, true, {}, {}});
  contenders.push_back({"converter", {options.converter, "1"}, true, {}, {}});
  contenders.push_back(
      {"cp", {"cp", SOURCES[0], SOURCES[1], SOURCES[2], "copy/"}, false, {}, {}});
  if (!race(options, dir, contenders))
    return false;
  Row row{name_of(shape), megabytes, {}};
  for (const Contender &c : contenders) {
    print(c, megabytes);
    row.medians.push_back(c.median);
  }
  const Measurement &converter = contenders[contenders.size() - 2].median;
  const Measurement &copy = contenders.back().median;
  if (!options.baseline.empty())
    std::printf("  baseline/converter elapsed %.2f, cpu %.2f\n",
                contenders[0].median.seconds / converter.seconds,
                contenders[0].median.cpu_seconds / converter.cpu_seconds);
  std::printf("  converter/cp elapsed %.2f, cpu %.2f\n\n",
              converter.seconds / copy.seconds,
              converter.cpu_seconds / copy.cpu_seconds);
  table.push_back(row);
  return true;
}

void print_table(const Options &options, const std::vector<Row> &table) {
  const bool baseline = !options.baseline.empty();
  std::printf("| shape | MB in |%s converter | cp |%s converter/cp |%s "
              "converter peak RSS |\n",
              baseline ? " baseline |" : "", baseline ? " baseline/converter |" : "",
              baseline ? " baseline peak RSS |" : "");
  std::printf("|---|---|%s---|---|%s---|%s---|\n", baseline ? "---|" : "",
              baseline ? "---|" : "", baseline ? "---|" : "");
  for (const Row &row : table) {
    const Measurement &converter = row.medians[row.medians.size() - 2];
    const Measurement &copy = row.medians.back();
    std::printf("| %s | %.0f |", row.shape.c_str(), row.megabytes);
    if (baseline)
      std::printf(" %.3f s |", row.medians[0].seconds);
    std::printf(" %.3f s | %.3f s |", converter.seconds, copy.seconds);
    if (baseline)
      std::printf(" %.2f |", row.medians[0].seconds / converter.seconds);
    std::printf(" %.2f |", converter.seconds / copy.seconds);
    if (baseline)
      std::printf(" %.2f MiB |", row.medians[0].peak_rss_kib / 1024.0);
    std::printf(" %.2f MiB |\n", converter.peak_rss_kib / 1024.0);
  }
}

} // namespace

int main(int argc, char **argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--dir PATH] [--converter PATH] "
                 "[--baseline PATH] [--disk] [XxYxP | XxYxPf ...]\n",
                 argv[0]);
    return 2;
  }
  std::printf("converter %s%s%s, medians of %d alternated rounds after a "
              "warm-up round, in %s, %s\n\n",
              options->converter.c_str(),
              options->baseline.empty() ? "" : ", baseline ",
              options->baseline.c_str(), options->runs, options->dir.c_str(),
              options->disk ? "sources read from and outputs flushed to disk"
                            : "sources in the page cache");
  std::fflush(stdout);
  bool ok = true;
  std::vector<Row> table;
  for (const Shape &shape : options->shapes) {
    ok = bench_shape(*options, shape, table) && ok;
    std::fflush(stdout);
  }
  print_table(*options, table);
  return ok ? 0 : 1;
}
