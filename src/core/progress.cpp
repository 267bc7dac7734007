#include "core/progress.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/console.h"
#include "core/terminal.h"

namespace parvane {

Progress::Progress(std::string program, Output output,
                   Clock::duration threshold)
    : program_(std::move(program)), output_(std::move(output)),
      threshold_(threshold) {}

Progress Progress::on_standard_error(std::string program) {
  if (!standard_error_is_terminal())
    return Progress();
  return Progress(std::move(program),
                  [](std::string_view text) {
                    std::fwrite(text.data(), 1, text.size(), stderr);
                    std::fflush(stderr);
                  },
                  THRESHOLD);
}

void Progress::begin(std::string name, std::int64_t planned) {
  end();
  name_ = printable(name);
  planned_ = std::max<std::int64_t>(planned, 0);
  done_ = 0;
  started_ = Clock::now();
  active_ = true;
}

void Progress::advance(std::int64_t bytes) { reach(done_ + bytes); }

std::function<void(std::int64_t, std::int64_t)> Progress::part() {
  if (!output_)
    return {};
  return [this, base = done_](std::int64_t done, std::int64_t) {
    reach(base + done);
  };
}

void Progress::reach(std::int64_t done) {
  if (!active_ || !output_)
    return;
  done_ = std::min(done, planned_);
  const Clock::time_point now = Clock::now();
  if (now - started_ < threshold_ || (shown_ > 0 && now - drawn_ < REDRAW))
    return;
  const std::string text = line(now);
  // The new line covers the old one whole: a shorter one is padded.
  const std::size_t width = text.size();
  std::string drawn(1, '\r');
  drawn += text;
  if (width < shown_)
    drawn.append(shown_ - width, ' ');
  output_(drawn);
  shown_ = std::max(shown_, width);
  drawn_ = now;
}

std::string Progress::line(Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - started_).count();
  const int percent =
      planned_ > 0 ? static_cast<int>(done_ * 100 / planned_) : 100;
  const double megabytes = static_cast<double>(done_) / 1e6;
  const double rate = seconds > 0 ? megabytes / seconds : 0;
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "%3d%% of %.0f MB, %.0f MB/s", percent,
                static_cast<double>(planned_) / 1e6, rate);
  return program_ + ": " + name_ + ": " + numbers;
}

void Progress::end() {
  if (shown_ > 0 && output_) {
    // Blanks over the line, the cursor back at its start.
    std::string blank(shown_ + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    output_(blank);
  }
  shown_ = 0;
  active_ = false;
}

} // namespace parvane
