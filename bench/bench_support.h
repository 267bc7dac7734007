// What the benchmarks share: the shapes of the sets they run, writing such a
// set of random samples into a scratch directory, and timing one child
// process from fork to exit with its resource usage.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/source_record.h"

namespace parvane::bench {

// X x Y pixels with `points` points per pixel and direction; a dual set has
// forward and backward topography and spectroscopy, the other forward only.
struct Shape {
  std::int32_t x = 0, y = 0, points = 0;
  bool dual = true;
};

// "XxYxP" for a dual set, "XxYxPf" for a forward-only one.
inline std::optional<Shape> parse_shape(const std::string &text) {
  Shape shape;
  char tail = 0, extra = 0;
  const int fields = std::sscanf(text.c_str(), "%dx%dx%d%c%c", &shape.x,
                                 &shape.y, &shape.points, &tail, &extra);
  if (fields == 4 && tail == 'f')
    shape.dual = false;
  else if (fields != 3)
    return std::nullopt;
  if (shape.x <= 0 || shape.y <= 0 || shape.points <= 0)
    return std::nullopt;
  return shape;
}

inline std::string name_of(const Shape &shape) {
  return std::to_string(shape.x) + "x" + std::to_string(shape.y) + "x" +
         std::to_string(shape.points) + (shape.dual ? " dual" : " forward");
}

// Run when no shapes are given: a typical grid, thousands of points per pixel
// on many pixels, very long curves on few pixels (dual and forward only), and
// many pixels with few points.
inline std::vector<Shape> default_shapes() {
  return {{256, 256, 256},
          {256, 256, 2560},
          {64, 64, 16384},
          {64, 64, 16384, false},
          {2048, 2048, 8}};
}

// Stores a 32-bit field of the parameter record, big-endian as it is read.
inline void put(std::string &record, std::int64_t offset, std::uint32_t bits) {
  for (int b = 0; b < 4; ++b)
    record[static_cast<std::size_t>(offset + b)] =
        static_cast<char>(bits >> (24 - 8 * b));
}

// The parameter record of a set of this shape, every other field zero.
inline std::string shape_record(const Shape &shape) {
  std::string record(402, '\0');
  put(record, OFFSET_IMAGE_SIZE_X, static_cast<std::uint32_t>(shape.x));
  put(record, OFFSET_IMAGE_SIZE_Y, static_cast<std::uint32_t>(shape.y));
  put(record, OFFSET_FORWARD_ONLY, shape.dual ? 0 : 1);
  put(record, OFFSET_SPEC_POINTS_FORWARD,
      static_cast<std::uint32_t>(shape.points));
  put(record, OFFSET_SPEC_POINTS_BACKWARD,
      static_cast<std::uint32_t>(shape.points));
  return record;
}

// Set number 1 in `dir`: `record` as tp1, then random samples of forward
// topography and spectroscopy and, for a dual set, of the backward ones with
// the same point count. The samples come from a fixed-seed generator, so
// every run sees the same set.
inline bool write_set(const std::filesystem::path &dir, const Shape &shape,
                      const std::string &record) {
  if (!(std::ofstream(dir / "tp1", std::ios::binary) << record))
    return false;
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  std::vector<char> buffer(std::size_t{1} << 20);
  const auto write_random = [&](const char *name, std::int64_t bytes) {
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    for (std::int64_t left = bytes; left > 0 && out;) {
      for (std::size_t at = 0; at + 8 <= buffer.size(); at += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        for (int b = 0; b < 8; ++b)
          buffer[at + b] = static_cast<char>(state >> (8 * b));
      }
      const auto count = static_cast<std::streamsize>(
          std::min<std::int64_t>(left, std::ssize(buffer)));
      out.write(buffer.data(), count);
      left -= count;
    }
    return static_cast<bool>(out);
  };
  const std::int64_t planes = shape.dual ? 2 : 1;
  const std::int64_t pixels = std::int64_t{shape.x} * shape.y;
  return write_random("tz1", 2 * planes * pixels) &&
         write_random("ts1", 2 * planes * pixels * shape.points);
}

// A scratch directory, created empty and removed with everything in it when
// the benchmark is done with it, also when a run failed.
struct ScratchDir {
  explicit ScratchDir(std::filesystem::path where) : path(std::move(where)) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  std::filesystem::path path;
};

struct Measurement {
  double seconds = 0;     // elapsed
  double cpu_seconds = 0; // user + system
  long peak_rss_kib = 0;
  bool ok = false; // exited with status 0
};

// Runs `body` in a child process, whose exit status it returns, timing it
// from fork to exit.
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
  const auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return {elapsed.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
          usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median elapsed and processor times of `runs`, with the largest peak
// memory among them: what a contender's row of the table shows.
inline Measurement summary(const std::vector<Measurement> &runs) {
  std::vector<double> seconds, cpu_seconds;
  Measurement result;
  for (const Measurement &m : runs) {
    seconds.push_back(m.seconds);
    cpu_seconds.push_back(m.cpu_seconds);
    result.peak_rss_kib = std::max(result.peak_rss_kib, m.peak_rss_kib);
  }
  result.seconds = median(seconds);
  result.cpu_seconds = median(cpu_seconds);
  return result;
}

} // namespace parvane::bench
