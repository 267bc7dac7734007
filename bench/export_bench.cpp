// Export speed and memory against a plain copy of a file as large as the GWY
// file written, and optionally against an earlier build of the program.
//
//   export_bench [--runs N] [--dir PATH] [--exporter PATH] [--baseline PATH]
//                [--disk] [XxYxP | XxYxPf ...]
//
// For each shape (X x Y pixels, P points per pixel; "f" for a forward-only
// set) it writes set 1 of random samples into a scratch directory, exports it
// once untimed, makes a file of the same size as the GWY file, then runs
// one untimed warm-up round and `--runs` timed rounds (default 7) of the
// export (in a child process, through the library, as the export program
// calls it) and of `cp big copy`; with `--baseline` also of the built
// program (`--exporter`, default the one built beside this benchmark) and of
// the baseline program (an earlier build), each exporting set 1. Every round
// runs each of them once, starting with a different one each round, each
// started with no output on disk and no dirty pages waiting; in the warm-up
// round both programs must write the library's bytes. It prints the medians
// of elapsed and processor (user + system) time, the highest peak resident
// memory (from wait4) and the ratios, then a table. With --disk, as
// plane_bench's, the sources (and the file cp copies) are synced and
// dropped from this machine's page cache before each run, and each run's
// time includes flushing its output to disk. On a virtual machine whose
// host still caches the disk that is not a cold disk: the table says so.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/file_io.h"
#include "export/gwy_export.h"

namespace fs = std::filesystem;

namespace {

using namespace parvane::bench;

std::uint32_t float_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// The export refuses a set whose field size is not above zero; the height
// resolution and the bias sweeps are those a measurement would have.
bool write_set(const fs::path &dir, const Shape &s) {
  using namespace parvane;
  std::string record = shape_record(s);
  put(record, OFFSET_FIELD_X_SIZE, float_bits(1000.0f));
  put(record, OFFSET_FIELD_Y_SIZE, float_bits(1000.0f));
  put(record, OFFSET_Z_RESOLUTION, float_bits(0.1f));
  put(record, OFFSET_SPEC_START_FORWARD, float_bits(-1.0f));
  put(record, OFFSET_SPEC_END_FORWARD, float_bits(1.0f));
  put(record, OFFSET_SPEC_START_BACKWARD, float_bits(1.0f));
  put(record, OFFSET_SPEC_END_BACKWARD, float_bits(-1.0f));
  return parvane::bench::write_set(dir, s, record);
}

// The export as the export program runs it: open, plan, write, close.
int export_set(const fs::path &dir) {
  using namespace parvane;
  auto record = File::open_source((dir / "tp1").string());
  auto topography = File::open_source((dir / "tz1").string());
  auto spectroscopy = File::open_source((dir / "ts1").string());
  auto out = File::open_output((dir / "m1.gwy").string());
  if (!record || !topography || !spectroscopy || !out || !out->truncate())
    return 1;
  const ExportSources sources{"1", &*record, &*topography, &*spectroscopy,
                              "tp1", "tz1", "ts1"};
  GwyExportPlan plan;
  if (!plan_gwy_export(sources, plan).ok())
    return 1;
  const ExportResult result = write_gwy_export(plan, *out);
  if (!result.ok()) {
    std::fprintf(stderr, "export: %s\n", result.reason.c_str());
    return 1;
  }
  return out->close() ? 0 : 1;
}

// One thing timed by the benchmark: a child process, its runs and their
// medians.
struct Contender {
  const char *label;
  std::function<int()> body;
  bool exports = false; // writes m1.gwy
  std::vector<Measurement> runs;
  Measurement median;
};

// Runs `program` on set 1 in `dir`, its standard output discarded.
int run_program(const fs::path &dir, const std::string &program) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr || ::chdir(dir.c_str()) != 0)
    return 127;
  ::execl(program.c_str(), program.c_str(), "1", static_cast<char *>(nullptr));
  return 127;
}

// Whether two files hold the same bytes, compared a block at a time.
bool same_bytes(const fs::path &a, const fs::path &b) {
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  std::vector<char> block_a(std::size_t{1} << 20), block_b(block_a.size());
  while (in_a && in_b) {
    in_a.read(block_a.data(), std::ssize(block_a));
    in_b.read(block_b.data(), std::ssize(block_b));
    if (in_a.gcount() != in_b.gcount() ||
        !std::equal(block_a.begin(), block_a.begin() + in_a.gcount(), block_b.begin()))
      return false;
  }
  return in_a.eof() && in_b.eof();
}

// Drops the (clean) pages of the sources and of the file cp copies from
// the page cache.
void evict_sources(const fs::path &dir) {
  for (const char *name : {"tp1", "tz1", "ts1", "big"}) {
    const int descriptor = ::open((dir / name).c_str(), O_RDONLY);
    if (descriptor < 0)
      continue;
    ::fsync(descriptor);
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    ::close(descriptor);
  }
}

// Writes the run's output to disk: the GWY file or the copy.
void flush_output(const fs::path &dir) {
  for (const char *name : {"m1.gwy", "copy"}) {
    const int descriptor = ::open((dir / name).c_str(), O_RDONLY);
    if (descriptor < 0)
      continue;
    ::fsync(descriptor);
    ::close(descriptor);
  }
}

// Runs every contender once per round, `runs` timed rounds after one
// untimed warm-up round; round r starts with contender r (modulo their
// number). In the warm-up round every export must write `big`'s bytes.
bool race(int runs, bool disk, const fs::path &dir,
          std::vector<Contender> &contenders) {
  const std::size_t count = contenders.size();
  for (int round = 0; round <= runs; ++round) {
    for (std::size_t k = 0; k < count; ++k) {
      Contender &c = contenders[(static_cast<std::size_t>(round) + k) % count];
      fs::remove(dir / "m1.gwy");
      fs::remove(dir / "copy");
      ::sync();
      if (disk)
        evict_sources(dir);
      Measurement m = in_child(c.body);
      if (disk) {
        const auto start = std::chrono::steady_clock::now();
        flush_output(dir);
        const std::chrono::duration<double> flushing =
            std::chrono::steady_clock::now() - start;
        m.seconds += flushing.count();
      }
      if (!m.ok) {
        std::fprintf(stderr, "  %s failed\n", c.label);
        return false;
      }
      if (round == 0 && c.exports && !same_bytes(dir / "m1.gwy", dir / "big")) {
        std::fprintf(stderr, "  %s wrote different bytes\n", c.label);
        return false;
      }
      if (round > 0)
        c.runs.push_back(m);
    }
  }
  for (Contender &c : contenders)
    c.median = summary(c.runs);
  return true;
}

struct Row {
  std::string shape;
  double megabytes = 0;
  std::vector<Measurement> medians; // export, cp[, program, baseline]
};

} // namespace

int main(int argc, char **argv) {
  int runs = 7;
  fs::path base = fs::temp_directory_path();
  std::string exporter = PARVANE_EXPORT_BINARY, baseline;
  bool disk = false;
  std::vector<Shape> shapes;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    const bool has_value = k + 1 < argc;
    if (word == "--runs" && has_value) {
      runs = std::max(1, std::atoi(argv[++k]));
    } else if (word == "--dir" && has_value) {
      base = argv[++k];
    } else if (word == "--exporter" && has_value) {
      exporter = argv[++k];
    } else if (word == "--baseline" && has_value) {
      baseline = argv[++k];
    } else if (word == "--disk") {
      disk = true;
    } else if (auto s = parse_shape(word)) {
      shapes.push_back(*s);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--runs N] [--dir PATH] [--exporter PATH] "
                   "[--baseline PATH] [--disk] [XxYxP | XxYxPf ...]\n",
                   argv[0]);
      return 2;
    }
  }
  if (shapes.empty())
    shapes = default_shapes();
  const bool race_programs = !baseline.empty();
  if (race_programs)
    std::printf("program %s, baseline %s\n\n", exporter.c_str(), baseline.c_str());

  std::vector<Row> table;
  for (const Shape &shape : shapes) {
    const ScratchDir scratch(base /
                             ("export-bench-" + std::to_string(::getpid())));
    const fs::path &dir = scratch.path;
    if (!write_set(dir, shape) || !in_child([&] { return export_set(dir); }).ok) {
      std::fprintf(stderr, "%s: the set could not be written or exported\n",
                   name_of(shape).c_str());
      return 1;
    }
    fs::rename(dir / "m1.gwy", dir / "big");
    const std::string big = (dir / "big").string(), copy = (dir / "copy").string();
    std::vector<Contender> contenders;
    contenders.push_back({"export", [&] { return export_set(dir); }, true, {}, {}});
    contenders.push_back({"cp", [&] {
                            ::execlp("cp", "cp", big.c_str(), copy.c_str(), nullptr);
                            return 127;
                          }, false, {}, {}});
    if (race_programs) {
      contenders.push_back(
          {"program", [&] { return run_program(dir, exporter); }, true, {}, {}});
      contenders.push_back(
          {"baseline", [&] { return run_program(dir, baseline); }, true, {}, {}});
    }
    if (!race(runs, disk, dir, contenders))
      return 1;
    Row row{name_of(shape), double(fs::file_size(big)) / 1e6, {}};
    for (const Contender &c : contenders)
      row.medians.push_back(c.median);
    const Measurement &e = row.medians[0], &cp = row.medians[1];
    std::printf("%s: %.0f MB of GWY, export %.3f s (processor %.3f s), "
                "cp %.3f s (processor %.3f s), export/cp %.2f, "
                "export peak RSS %.2f MiB\n",
                row.shape.c_str(), row.megabytes, e.seconds, e.cpu_seconds,
                cp.seconds, cp.cpu_seconds, e.seconds / cp.seconds,
                double(e.peak_rss_kib) / 1024);
    if (race_programs) {
      const Measurement &p = row.medians[2], &b = row.medians[3];
      std::printf("  program %.3f s (processor %.3f s, peak RSS %.2f MiB), "
                  "baseline %.3f s (processor %.3f s, peak RSS %.2f MiB), "
                  "baseline/program elapsed %.2f, processor %.2f\n",
                  p.seconds, p.cpu_seconds, double(p.peak_rss_kib) / 1024,
                  b.seconds, b.cpu_seconds, double(b.peak_rss_kib) / 1024,
                  b.seconds / p.seconds, b.cpu_seconds / p.cpu_seconds);
    }
    std::fflush(stdout);
    table.push_back(row);
  }
  if (disk)
    std::printf("\nSources synced and dropped from this machine's page cache "
                "before each run, outputs flushed within the time (the host "
                "still caches the disk: not a cold disk).\n");
  std::printf("\n| shape | MB of GWY | export | cp | export/cp | export processor | cp processor | export peak RSS |%s\n"
              "|---|---|---|---|---|---|---|---|%s\n",
              race_programs ? " program | baseline | program processor | baseline processor | baseline/program processor | program peak RSS | baseline peak RSS |" : "",
              race_programs ? "---|---|---|---|---|---|---|" : "");
  for (const Row &r : table) {
    const Measurement &e = r.medians[0], &cp = r.medians[1];
    std::printf("| %s | %.0f | %.3f s | %.3f s | %.2f | %.3f s | %.3f s | %.2f MiB |",
                r.shape.c_str(), r.megabytes, e.seconds, cp.seconds,
                e.seconds / cp.seconds, e.cpu_seconds, cp.cpu_seconds,
                double(e.peak_rss_kib) / 1024);
    if (race_programs) {
      const Measurement &p = r.medians[2], &b = r.medians[3];
      std::printf(" %.3f s | %.3f s | %.3f s | %.3f s | %.2f | %.2f MiB | %.2f MiB |",
                  p.seconds, b.seconds, p.cpu_seconds, b.cpu_seconds,
                  b.cpu_seconds / p.cpu_seconds, double(p.peak_rss_kib) / 1024,
                  double(b.peak_rss_kib) / 1024);
    }
    std::printf("\n");
  }
  return 0;
}
