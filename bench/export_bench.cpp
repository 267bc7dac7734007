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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "convert/file_io.h"
#include "convert/source_record.h"
#include "export/gwy_export.h"

namespace fs = std::filesystem;

namespace {

struct Shape {
  int x = 0, y = 0, points = 0;
  bool dual = true;
};

std::optional<Shape> parse_shape(const std::string &text) {
  Shape s;
  char f = 0;
  const int n = std::sscanf(text.c_str(), "%dx%dx%d%c", &s.x, &s.y, &s.points, &f);
  if (n < 3 || s.x <= 0 || s.y <= 0 || s.points <= 0 || (n == 4 && f != 'f'))
    return std::nullopt;
  s.dual = n == 3;
  return s;
}

std::string name_of(const Shape &s) {
  return std::to_string(s.x) + "x" + std::to_string(s.y) + "x" +
         std::to_string(s.points) + (s.dual ? " dual" : " forward");
}

void put(std::string &record, std::int64_t offset, std::uint32_t bits) {
  for (int b = 0; b < 4; ++b)
    record[static_cast<std::size_t>(offset + b)] =
        static_cast<char>(bits >> (24 - 8 * b));
}
std::uint32_t float_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

bool write_random(const fs::path &path, std::int64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(std::size_t{1} << 20);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (std::int64_t left = bytes; left > 0 && out;) {
    for (std::size_t at = 0; at + 8 <= buffer.size(); at += 8) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      for (int b = 0; b < 8; ++b)
        buffer[at + b] = static_cast<char>(state >> (8 * b));
    }
    const auto count = std::min<std::int64_t>(left, std::int64_t{1} << 20);
    out.write(buffer.data(), count);
    left -= count;
  }
  return static_cast<bool>(out);
}

bool write_set(const fs::path &dir, const Shape &s) {
  using namespace parvane;
  std::string record(402, '\0');
  put(record, OFFSET_IMAGE_SIZE_X, static_cast<std::uint32_t>(s.x));
  put(record, OFFSET_IMAGE_SIZE_Y, static_cast<std::uint32_t>(s.y));
  put(record, OFFSET_FORWARD_ONLY, s.dual ? 0 : 1);
  put(record, OFFSET_SPEC_POINTS_FORWARD, static_cast<std::uint32_t>(s.points));
  put(record, OFFSET_SPEC_POINTS_BACKWARD, static_cast<std::uint32_t>(s.points));
  put(record, OFFSET_FIELD_X_SIZE, float_bits(1000.0f));
  put(record, OFFSET_FIELD_Y_SIZE, float_bits(1000.0f));
  put(record, OFFSET_Z_RESOLUTION, float_bits(0.1f));
  put(record, OFFSET_SPEC_START_FORWARD, float_bits(-1.0f));
  put(record, OFFSET_SPEC_END_FORWARD, float_bits(1.0f));
  put(record, OFFSET_SPEC_START_BACKWARD, float_bits(1.0f));
  put(record, OFFSET_SPEC_END_BACKWARD, float_bits(-1.0f));
  std::ofstream(dir / "tp1", std::ios::binary) << record;
  const std::int64_t planes = s.dual ? 2 : 1, pixels = std::int64_t{s.x} * s.y;
  return write_random(dir / "tz1", 2 * planes * pixels) &&
         write_random(dir / "ts1", 2 * planes * pixels * s.points);
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

struct Measurement {
  double seconds = 0, cpu_seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

// Runs `body` in a child process, timing it from fork to exit.
template <typename Body> Measurement in_child(Body body) {
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0)
    ::_exit(body());
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
    return {};
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
  return {elapsed.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
          usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2]
                      : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
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
    for (const char *s : {"256x256x256", "256x256x2560", "64x64x16384",
                          "64x64x16384f", "2048x2048x8"})
      shapes.push_back(*parse_shape(s));

  std::vector<Row> table;
  for (const Shape &shape : shapes) {
    const fs::path dir = base / ("export-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
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
          peak = std::max(peak, m.peak_kib);
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
    fs::remove_all(dir);
  }
  std::printf("\n| shape | MB of GWY | export | cp | export/cp | export processor | cp processor | export peak RSS |\n"
              "|---|---|---|---|---|---|---|---|\n");
  for (const Row &r : table)
    std::printf("| %s | %.0f | %.3f s | %.3f s | %.2f | %.3f s | %.3f s | %.2f MiB |\n",
                r.shape.c_str(), r.megabytes, r.export_s, r.cp_s,
                r.export_s / r.cp_s, r.export_cpu_s, r.cp_cpu_s, r.peak_mib);
  return 0;
}
