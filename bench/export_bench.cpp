// Export speed and memory against a plain copy of a file as large as the GWY
// file written.
//
//   export_bench [--runs N] [--dir PATH] [XxYxP | XxYxPf ...]
//
// For each shape (X x Y pixels, P points per pixel; "f" for a forward-only
// set) it writes set 1 of random samples into a scratch directory, exports it
// once untimed, makes a file of the same size as the GWY file, then runs
// `--runs` alternated rounds (default 7) of the export (in a child process,
// through the library, as the export program calls it) and of
// `cp big copy`, each started with no output on disk and no dirty pages
// waiting. It prints the medians of elapsed and processor (user + system)
// time, the highest peak resident memory of the export (from wait4) and the
// ratios, then a table.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
  std::int64_t bytes = 0;
  if (!plan_gwy_export(sources, bytes).ok())
    return 1;
  const ExportResult result = write_gwy_export(sources, *out);
  if (!result.ok()) {
    std::fprintf(stderr, "export: %s\n", result.reason.c_str());
    return 1;
  }
  return out->close() ? 0 : 1;
}

struct Row {
  std::string shape;
  double megabytes = 0, export_s = 0, cp_s = 0, peak_mib = 0;
  double export_cpu_s = 0, cp_cpu_s = 0;
};

} // namespace

int main(int argc, char **argv) {
  int runs = 7;
  fs::path base = fs::temp_directory_path();
  std::vector<Shape> shapes;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    if (word == "--runs" && k + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++k]));
    } else if (word == "--dir" && k + 1 < argc) {
      base = argv[++k];
    } else if (auto s = parse_shape(word)) {
      shapes.push_back(*s);
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--dir PATH] [XxYxP | XxYxPf ...]\n", argv[0]);
      return 2;
    }
  }
  if (shapes.empty())
    shapes = default_shapes();

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
    Row row{name_of(shape), double(fs::file_size(big)) / 1e6};
    std::vector<double> exports, copies, export_cpu, copy_cpu;
    long peak = 0;
    for (int round = 0; round < runs; ++round) {
      for (int turn = 0; turn < 2; ++turn) {
        fs::remove(dir / "m1.gwy");
        fs::remove(copy);
        ::sync();
        if ((turn + round) % 2 == 0) {
          const Measurement m = in_child([&] { return export_set(dir); });
          if (!m.ok)
            return 1;
          exports.push_back(m.seconds);
          export_cpu.push_back(m.cpu_seconds);
          peak = std::max(peak, m.peak_rss_kib);
        } else {
          const Measurement m = in_child([&] {
            ::execlp("cp", "cp", big.c_str(), copy.c_str(), nullptr);
            return 127;
          });
          if (!m.ok)
            return 1;
          copies.push_back(m.seconds);
          copy_cpu.push_back(m.cpu_seconds);
        }
      }
    }
    row.export_s = median(exports);
    row.cp_s = median(copies);
    row.export_cpu_s = median(export_cpu);
    row.cp_cpu_s = median(copy_cpu);
    row.peak_mib = double(peak) / 1024;
    std::printf("%s: %.0f MB of GWY, export %.3f s (processor %.3f s), "
                "cp %.3f s (processor %.3f s), export/cp %.2f, "
                "export peak RSS %.2f MiB\n",
                row.shape.c_str(), row.megabytes, row.export_s, row.export_cpu_s,
                row.cp_s, row.cp_cpu_s, row.export_s / row.cp_s, row.peak_mib);
    table.push_back(row);
  }
  std::printf("\n| shape | MB of GWY | export | cp | export/cp | export processor | cp processor | export peak RSS |\n"
              "|---|---|---|---|---|---|---|---|\n");
  for (const Row &r : table)
    std::printf("| %s | %.0f | %.3f s | %.3f s | %.2f | %.3f s | %.3f s | %.2f MiB |\n",
                r.shape.c_str(), r.megabytes, r.export_s, r.cp_s,
                r.export_s / r.cp_s, r.export_cpu_s, r.cp_cpu_s, r.peak_mib);
  return 0;
}
