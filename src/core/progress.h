// The progress of a long set, on one line of the terminal: the set, the
// percent of its bytes done and the rate, redrawn in place and erased when
// the set ends. Shown only once a set has taken longer than a threshold
// (about a second: short sets stay silent), and only on a terminal: a
// program whose standard error goes to a file or a pipe writes nothing of
// it. Standard output is never touched.
//
// A run owns one display and hands it to each set it works on. The copies
// tell it the bytes they did; the tile pipeline tells it through its
// progress hook (`part`).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parvane {

class Progress {
public:
  using Clock = std::chrono::steady_clock;
  // Where the line is drawn: text with carriage returns to write as it is.
  using Output = std::function<void(std::string_view)>;

  // A set that takes longer than this is shown.
  static constexpr Clock::duration THRESHOLD = std::chrono::seconds(1);
  // The line is redrawn at most this often.
  static constexpr Clock::duration REDRAW = std::chrono::milliseconds(100);

  // Shows nothing.
  Progress() = default;
  // Draws on `output` (none: shows nothing) once a set has lasted
  // `threshold`, its lines prefixed with "<program>: ".
  Progress(std::string program, Output output, Clock::duration threshold);
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  ~Progress() { end(); }

  // The display of a program: standard error when it is a terminal (a
  // console on Windows), with THRESHOLD; nothing otherwise.
  static Progress on_standard_error(std::string program);

  // A set begins: `name` as the user knows it, `planned` its bytes.
  void begin(std::string name, std::int64_t planned);
  // A copy did `bytes` more bytes of the set.
  void advance(std::int64_t bytes);
  // The tile pipeline's hook for the set's next part: the bytes it reports
  // done count from those the set had done when the part began.
  std::function<void(std::int64_t done, std::int64_t planned)> part();
  // The set ends, well or not: the line, if shown, is erased.
  void end();

  // The bytes of the last set begun, done and planned.
  std::int64_t done() const { return done_; }
  std::int64_t planned() const { return planned_; }

private:
  void reach(std::int64_t done);
  std::string line(Clock::time_point now) const;

  std::string program_;
  Output output_;
  Clock::duration threshold_ = THRESHOLD;
  std::string name_;
  std::int64_t planned_ = 0, done_ = 0;
  Clock::time_point started_{}, drawn_{};
  bool active_ = false;
  std::size_t shown_ = 0; // the characters of the line on screen, 0: none
};

} // namespace parvane
