// Hostile inputs and injected faults: whatever a set holds, a conversion ends,
// its result code tells the truth, and no file it was not asked to write is
// damaged.
//
// One model of a conversion (which files it opens, reads and writes, in which
// order, and the code each failure gives) serves both harnesses: thousands of
// random sets converted in-process, and faults in batches run by the built
// binary (every write, every source read, links onto the set's own files).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/console.h"
#include "convert/conversion_sequence.h"
#include "core/file_io.h"
#include "core/set_names.h"
#include "core/source_record.h"
#include "test_helpers.h"

namespace parvane::testing {
namespace {

// ---------------------------------------------------------------------------
// The files of one set and what a conversion does to them.

// NOTES is a file of the user's beside the sets, no file of any set; GWY is
// the export's one output, which no conversion touches.
enum Name { TP, TZ, TS, TMP, PAR, TF0, SF0, TB0, SB0, NOTES, GWY };
constexpr std::array ALL_NAMES{TP, TZ, TS, TMP, PAR, TF0, SF0, TB0, SB0};

// The role of each of ALL_NAMES in the result codes.
constexpr Role role_of(Name name) {
  constexpr std::array ROLES{Role::Record,
                             Role::Topography,
                             Role::Spectroscopy,
                             Role::Staging,
                             Role::Parameters,
                             Role::ForwardTopography,
                             Role::ForwardSpectroscopy,
                             Role::BackwardTopography,
                             Role::BackwardSpectroscopy};
  return ROLES.at(name);
}

// Longest file name the file systems under test accept.
constexpr std::size_t NAME_LIMIT = 255;

std::string file_name(const std::string &number, Name name) {
  switch (name) {
  case TP: return "tp" + number;
  case TZ: return "tz" + number;
  case TS: return "ts" + number;
  case TMP: return STAGING_FILE_NAME;
  case PAR: return "m" + number + "_ori.par";
  case TF0: return "m" + number + "_ori.tf0";
  case SF0: return "m" + number + "_ori.sf0";
  case TB0: return "m" + number + "_ori.tb0";
  case SB0: return "m" + number + "_ori.sb0";
  case NOTES: return "notes.txt";
  case GWY: return gwy_export_name(number);
  }
  return {};
}

bool is_source(Name name) { return name == TP || name == TZ || name == TS; }

// Something in the way of one name of the set.
struct Obstacle {
  enum Kind {
    NONE,
    MISSING,
    DIRECTORY,
    FIFO,
    FULL_DEVICE, // a symbolic link to /dev/full
    // A symbolic or hard link at a name the conversion writes, leading to
    // `target`, a file of the set that the conversion opens before `name`
    // (a symbolic link at tmp.par may lead to any name).
    SYMBOLIC_LINK,
    HARD_LINK,
    // A symbolic link whose target is gone (a share that is not mounted):
    // the name exists, but no file can be opened through it.
    DANGLING_LINK,
    // A source the system fails to read: a symbolic link to /proc/self/mem,
    // a "regular file" of size 0 whose every read at a low position fails
    // with EIO (the first pages of an address space are never mapped).
    UNREADABLE,
    // No file may grow past FILE_SIZE_LIMIT bytes (RLIMIT_FSIZE, run by the
    // built converter only); `name` is not used.
    SIZE_LIMIT,
  } kind = NONE;
  Name name = TP;
  Name target = TP;
};

// The file size limit of SIZE_LIMIT: less than a parameter file (98 lines
// and more) and than a full record (402 bytes), more than the few console
// lines of a failed run.
constexpr std::int64_t FILE_SIZE_LIMIT = 256;

// What a conversion needs to know about a set, decoded by the test itself.
struct SetShape {
  std::string number;
  std::int64_t record_length = 0;
  bool spectroscopy_file = false;
  bool dual_mode = false;
  std::int32_t x = 0, y = 0, points_forward = 0, points_backward = 0;
};

// What a file of the set looks like after the conversion.
enum class State {
  Untouched, // exactly as before, or still absent
  Empty,     // opened and emptied, never written
  Complete,  // written in full
  Partial,   // written in part: the start of what Complete would hold
  Gone,      // deleted
};

struct Outcome {
  int code = 0;
  bool has_spectroscopy = false;
  std::map<Name, State> states; // names not listed stay Untouched
};

std::int64_t pixels(const SetShape &s) {
  return s.x > 0 && s.y > 0 ? std::int64_t{s.x} * s.y : 0;
}

std::int64_t positive(std::int32_t value) { return std::max(value, 0); }

// The expected size of a completely written sample file.
std::int64_t sample_file_size(const SetShape &s, Name name) {
  switch (name) {
  case TF0:
  case TB0: return 2 * pixels(s);
  case SF0: return 2 * positive(s.points_forward) * pixels(s);
  case SB0: return 2 * positive(s.points_backward) * pixels(s);
  default: return -1;
  }
}

// The bytes a conversion needs from each source: the record up to the end of
// the user text, one or two topography planes, and the spectroscopy blocks,
// the backward one starting Pb planes in.
std::int64_t needed_bytes(const SetShape &s, Name source, bool spectroscopy) {
  switch (source) {
  case TP: return 402;
  case TZ: return sample_file_size(s, TF0) * (s.dual_mode ? 2 : 1);
  case TS:
    return !spectroscopy ? 0
           : std::max(sample_file_size(s, SF0),
                      s.dual_mode ? 2 * sample_file_size(s, SB0) : 0);
  default: return 0;
  }
}

struct Event {
  enum Step { OPEN, READ, WRITE } step;
  Name name;
  int code;
};

// The opens, source reads and non-empty writes of one conversion, in the
// order they happen, with the result code each gives when it fails. A
// plane's source is read before the plane is written; the record's text
// fields are read once the first outputs are open.
std::vector<Event> conversion_events(const SetShape &s, bool spectroscopy) {
  std::vector<Event> events;
  auto event = [&](Event::Step step, FailureCode::Step code_step, Name name) {
    events.push_back({step, name, result_code(code_step, role_of(name))});
  };
  auto open = [&](Name name) { event(Event::OPEN, FailureCode::Open, name); };
  auto read = [&](Name name) { event(Event::READ, FailureCode::Read, name); };
  auto write = [&](Name name) {
    if (name == TMP ? s.record_length > 0
                    : name == PAR || sample_file_size(s, name) > 0)
      event(Event::WRITE, FailureCode::Write, name);
  };
  auto plane = [&](Name source, Name name) {
    if (sample_file_size(s, name) > 0)
      read(source);
    write(name);
  };
  open(TMP);
  write(TMP);
  open(PAR);
  open(TF0);
  if (spectroscopy)
    open(SF0);
  read(TP);
  plane(TZ, TF0);
  if (s.dual_mode) {
    open(TB0);
    plane(TZ, TB0);
  }
  if (spectroscopy) {
    plane(TS, SF0);
    if (s.dual_mode) {
      open(SB0);
      plane(TS, SB0);
    }
  }
  write(PAR);
  return events;
}

// The size a file reaches when written in full; a parameter file counts as
// larger than any file size limit.
std::int64_t full_size(const SetShape &s, Name name) {
  return name == TMP ? s.record_length
         : name == PAR ? std::numeric_limits<std::int64_t>::max()
                       : sample_file_size(s, name);
}

Outcome predict(SetShape s, const Obstacle &obstacle) {
  auto at = [&](Name name, Obstacle::Kind kind) {
    return obstacle.kind == kind && obstacle.name == name;
  };
  const bool link = obstacle.kind == Obstacle::SYMBOLIC_LINK ||
                    obstacle.kind == Obstacle::HARD_LINK;
  // The system reports the size of /proc/self/mem as 0: the staging copy of
  // such a record is empty.
  if (at(TP, Obstacle::UNREADABLE))
    s.record_length = 0;
  // A number with a control character names no set: nothing is opened.
  if (std::any_of(s.number.begin(), s.number.end(), [](char c) {
        return static_cast<unsigned char>(c) < 32 || c == 127;
      }))
    return {1, false, {}};
  // The files opened so far, by the name that reached them first.
  std::set<Name> opened;
  auto open_fails = [&](Name name) {
    if (file_name(s.number, name).size() > NAME_LIMIT)
      return true;
    if (obstacle.name != name || obstacle.kind == Obstacle::NONE ||
        obstacle.kind == Obstacle::SIZE_LIMIT ||
        obstacle.kind == Obstacle::UNREADABLE)
      return false;
    // A link is never emptied through when it leads to a file of the set
    // already open, and tmp.par is never opened through any link. An
    // earlier output with a second name was replaced by a new file when it
    // was opened, so a hard link there leads to no file of the set.
    if (link)
      return name == TMP ||
             (opened.contains(obstacle.target) &&
              (obstacle.kind == Obstacle::SYMBOLIC_LINK ||
               is_source(obstacle.target)));
    // Only regular files count as sources; a full device opens as an
    // output, but a symbolic link at tmp.par is refused whatever it leads to.
    return is_source(name) || name == TMP ||
           obstacle.kind != Obstacle::FULL_DEVICE;
  };
  auto fails = [&](const Event &e) {
    switch (e.step) {
    case Event::OPEN: return open_fails(e.name);
    case Event::READ: return at(e.name, Obstacle::UNREADABLE);
    case Event::WRITE:
      return at(e.name, Obstacle::FULL_DEVICE) ||
             (obstacle.kind == Obstacle::SIZE_LIMIT &&
              full_size(s, e.name) > FILE_SIZE_LIMIT);
    }
    return false;
  };
  Outcome out;
  if (open_fails(TP))
    return {1, false, {}};
  opened.insert(TP);
  if (open_fails(TZ))
    return {2, false, {}};
  opened.insert(TZ);
  // A spectroscopy file that exists but cannot be opened fails the set
  // before anything is written.
  if (at(TS, Obstacle::DANGLING_LINK))
    return {17, false, {}};
  out.has_spectroscopy = (s.spectroscopy_file || at(TS, Obstacle::UNREADABLE)) &&
                         !open_fails(TS);
  if (out.has_spectroscopy)
    opened.insert(TS);
  // A hard link holds what its target holds; a symbolic link, and a link to
  // the full device, stay the links they were.
  auto finish = [&](Outcome outcome) {
    if (obstacle.kind == Obstacle::HARD_LINK &&
        outcome.states.contains(obstacle.target))
      outcome.states[obstacle.name] = outcome.states[obstacle.target];
    return outcome;
  };
  for (const Event &e : conversion_events(s, out.has_spectroscopy)) {
    if (fails(e)) {
      out.code = e.code;
      if (e.step == Event::WRITE && obstacle.kind == Obstacle::SIZE_LIMIT)
        out.states[e.name] = State::Partial;
      return finish(out);
    }
    if (e.step == Event::OPEN)
      opened.insert(e.name);
    if (e.step != Event::READ && !at(e.name, Obstacle::FULL_DEVICE))
      out.states[e.name] = e.step == Event::OPEN ? State::Empty : State::Complete;
  }
  out.states[TMP] = State::Gone;
  return finish(out);
}

// ---------------------------------------------------------------------------
// Directory snapshots and what changed between them.

struct Entry {
  enum Type { FILE, DIRECTORY, LINK, OTHER } type = OTHER;
  Bytes bytes;        // content of a regular file
  std::string target; // target of a link
  std::int64_t mtime_ns = 0;
  bool operator==(const Entry &) const = default;
};
using Snapshot = std::map<std::string, Entry>;

Snapshot snapshot(const fs::path &dir) {
  Snapshot entries;
  for (const std::string &name : list_dir(dir)) {
    const fs::path path = dir / name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
      continue;
    Entry entry;
    entry.mtime_ns = std::int64_t{status.st_mtim.tv_sec} * 1000000000 +
                     status.st_mtim.tv_nsec;
    if (S_ISREG(status.st_mode)) {
      entry.type = Entry::FILE;
      entry.bytes = read_file(path);
    } else if (S_ISDIR(status.st_mode)) {
      entry.type = Entry::DIRECTORY;
    } else if (S_ISLNK(status.st_mode)) {
      entry.type = Entry::LINK;
      entry.target = fs::read_symlink(path).string();
    }
    entries.emplace(name, std::move(entry));
  }
  return entries;
}

// Gives every entry of `dir` one modification time long past, so that any
// later change to an entry shows.
void age_entries(const fs::path &dir) {
  const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const std::string &name : list_dir(dir))
    ::utimensat(AT_FDCWD, (dir / name).c_str(), past, AT_SYMLINK_NOFOLLOW);
}

// The names in one directory that were created, deleted, renamed, had their
// attributes changed, or were closed after being opened for writing. A
// source opened read-only never appears here. One instance serves many
// directories in turn: closing an instance takes the kernel a while.
class DirectoryWatch {
public:
  DirectoryWatch() : descriptor_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~DirectoryWatch() { ::close(descriptor_); }
  DirectoryWatch(const DirectoryWatch &) = delete;
  DirectoryWatch &operator=(const DirectoryWatch &) = delete;

  // Starts watching `dir`, forgetting everything seen before.
  void watch(const fs::path &dir) {
    changed_names();
    watched_ = ::inotify_add_watch(descriptor_, dir.c_str(),
                                   IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                       IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO);
  }

  // The names changed since `watch`, or since the last call.
  std::set<std::string> changed_names() const {
    std::set<std::string> names;
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t got;
    while ((got = ::read(descriptor_, buffer, sizeof buffer)) > 0) {
      for (char *p = buffer; p < buffer + got;) {
        const auto *event = reinterpret_cast<const inotify_event *>(p);
        if (event->mask & IN_Q_OVERFLOW)
          names.insert("(too many changes to tell)");
        else if (event->wd == watched_ && event->len > 0)
          names.insert(event->name);
        p += sizeof(inotify_event) + event->len;
      }
    }
    return names;
  }

private:
  int descriptor_;
  int watched_ = -1;
};

// Checks every name of `before` and `after` against the states expected for
// the names a conversion may touch; every other entry (sources, other sets,
// unrelated files) must be byte for byte and time for time as it was, and
// only the names in `writable` may have been opened for writing at all.
// `expect_written` checks the bytes of a file written in full or in part.
using WrittenCheck =
    std::function<void(const std::string &, const Bytes &, State)>;
void expect_outcome(const Snapshot &before, const Snapshot &after,
                    const std::set<std::string> &changed,
                    const std::set<std::string> &writable,
                    const std::map<std::string, State> &states,
                    const WrittenCheck &expect_written) {
  std::set<std::string> names;
  for (const auto *entries : {&before, &after})
    for (const auto &[name, entry] : *entries)
      names.insert(name);
  for (const auto &[name, state] : states)
    names.insert(name);
  for (const std::string &name : changed)
    names.insert(name);

  for (const std::string &name : names) {
    SCOPED_TRACE("file \"" + name + "\"");
    const auto expected = states.find(name);
    const State state = expected == states.end() ? State::Untouched
                                                 : expected->second;
    const auto was = before.find(name), is = after.find(name);
    const bool exists = is != after.end();
    switch (state) {
    case State::Untouched:
      EXPECT_FALSE(changed.contains(name) && !writable.contains(name))
          << "opened for writing or changed";
      if (was == before.end())
        EXPECT_FALSE(exists) << "created";
      else
        EXPECT_TRUE(exists && is->second == was->second) << "damaged";
      break;
    case State::Gone:
      EXPECT_FALSE(exists) << "left behind";
      break;
    case State::Empty:
      ASSERT_TRUE(exists && is->second.type == Entry::FILE) << "not a file";
      EXPECT_EQ(is->second.bytes.size(), 0u) << "not empty";
      break;
    case State::Complete:
    case State::Partial:
      ASSERT_TRUE(exists && is->second.type == Entry::FILE) << "not a file";
      expect_written(name, is->second.bytes, state);
      break;
    }
  }
}

// The names one conversion of set `number` opens for writing.
std::set<std::string> written_names(const std::string &number) {
  std::set<std::string> names;
  for (Name name : {TMP, PAR, TF0, SF0, TB0, SB0})
    names.insert(file_name(number, name));
  return names;
}

std::map<std::string, State> states_by_file_name(const std::string &number,
                                                 const Outcome &outcome) {
  std::map<std::string, State> states;
  for (const auto &[name, state] : outcome.states)
    states[file_name(number, name)] = state;
  return states;
}

// Places the obstacle (when it is not just a missing source or a limit) at
// its name. A hard link's target that does not exist yet is first made, as
// a file left by an earlier run.
void place_obstacle(const fs::path &dir, const std::string &number,
                    const Obstacle &obstacle) {
  const fs::path path = dir / file_name(number, obstacle.name);
  if (obstacle.kind == Obstacle::NONE || obstacle.kind == Obstacle::MISSING ||
      obstacle.kind == Obstacle::SIZE_LIMIT ||
      path.filename().string().size() > NAME_LIMIT)
    return;
  fs::remove(path);
  const std::string target = file_name(number, obstacle.target);
  switch (obstacle.kind) {
  case Obstacle::DIRECTORY: fs::create_directory(path); break;
  case Obstacle::FIFO: ::mkfifo(path.c_str(), 0666); break;
  case Obstacle::FULL_DEVICE: fs::create_symlink("/dev/full", path); break;
  case Obstacle::UNREADABLE: fs::create_symlink("/proc/self/mem", path); break;
  case Obstacle::DANGLING_LINK: fs::create_symlink("unmounted/share", path); break;
  case Obstacle::SYMBOLIC_LINK: fs::create_symlink(target, path); break;
  case Obstacle::HARD_LINK:
    if (!fs::exists(dir / target))
      write_file(dir / target, "converted earlier");
    fs::create_hard_link(dir / target, path);
    break;
  default: break;
  }
}

Bytes reversed(Bytes bytes) {
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

// ---------------------------------------------------------------------------
// What a complete output holds, checked independently of the converter.

std::string text_field_value(const Bytes &record, std::size_t offset,
                             std::size_t width) {
  if (offset >= record.size())
    return {};
  std::string bytes = record.substr(offset, width);
  return bytes.substr(0, bytes.find('\0'));
}

SetShape decode_shape(const std::string &number, const Bytes &record,
                      bool spectroscopy_file) {
  return {number,
          static_cast<std::int64_t>(record.size()),
          spectroscopy_file,
          big_endian_int(record, 308) == 0,
          big_endian_int(record, 28),
          big_endian_int(record, 32),
          big_endian_int(record, 164),
          big_endian_int(record, 180)};
}

// Compares converted samples with their sources, in output order, up to the
// first sample whose source bytes do not all exist (its value, and whether
// later samples are still taken from the file, is not defined).
void expect_converted(const Bytes &output, const Bytes &source,
                      const std::function<std::int64_t(std::int64_t)> &index_of) {
  const auto count = static_cast<std::int64_t>(output.size() / 2);
  for (std::int64_t k = 0; k < count; ++k) {
    const std::int64_t n = index_of(k);
    if (2 * n + 1 >= static_cast<std::int64_t>(source.size()))
      return;
    const auto high = static_cast<char>(source[2 * n] ^ 0x80);
    if (output[2 * k] != high || output[2 * k + 1] != source[2 * n + 1]) {
      ADD_FAILURE() << "sample " << k << " is not source sample " << n
                    << " converted";
      return;
    }
  }
}

void expect_sample_file(Name name, const Bytes &output, const SetShape &s,
                        const Bytes &topography, const Bytes &spectroscopy) {
  ASSERT_EQ(static_cast<std::int64_t>(output.size()), sample_file_size(s, name));
  if (name == TF0 || name == TB0) {
    const std::int64_t first = name == TF0 ? 0 : pixels(s);
    expect_converted(output, topography,
                     [&](std::int64_t k) { return first + k; });
    return;
  }
  const std::int64_t q = name == SF0 ? s.points_forward : s.points_backward;
  const std::int64_t first_line = name == SF0 ? 0 : s.y;
  expect_converted(output, spectroscopy, [&](std::int64_t k) {
    const std::int64_t m = k / pixels(s), pixel = k % pixels(s);
    const std::int64_t h = pixel / s.x, i = pixel % s.x;
    return q * (s.x * (h + first_line) + i) + m;
  });
}

// The parameter file's line structure: every line ends with CR LF and no
// CR or LF stands alone, the file has the line count of its channel layout
// (line breaks in a text field are written as spaces; each line feed in the
// file number becomes a line end of its own) and ends with its last
// setting.
void expect_parameter_text(const Bytes &text, const Bytes &record,
                           const SetShape &s, bool spectroscopy) {
  const bool dual = s.dual_mode;
  const std::int64_t layout_lines =
      dual ? (spectroscopy ? 156 : 114) : (spectroscopy ? 121 : 98);
  const std::int64_t filename_lines =
      1 + dual + spectroscopy + (spectroscopy && dual);
  auto feeds = [](const std::string &t) {
    return static_cast<std::int64_t>(std::count(t.begin(), t.end(), '\n'));
  };
  EXPECT_EQ(feeds(text), layout_lines + filename_lines * feeds(s.number));
  for (std::size_t i = text.find('\n'); i != Bytes::npos;
       i = text.find('\n', i + 1))
    ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
  EXPECT_EQ(static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\r')),
            feeds(text))
      << "bare carriage return";
  for (const auto &[offset, width] : {std::pair{312, 20}, {332, 50}, {382, 20}}) {
    std::string shown = text_field_value(record, offset, width);
    std::replace(shown.begin(), shown.end(), '\r', ' ');
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    EXPECT_NE(text.find(": " + shown + "\r\n"), Bytes::npos)
        << "text field at " << offset;
  }
  EXPECT_TRUE(text.starts_with(";\r\n"));
  EXPECT_TRUE(
      text.ends_with("I Total                              : 0.01    ;[V]\r\n"));
}

// ---------------------------------------------------------------------------
// Running one conversion in-process.

// Changes the working directory for one scope.
class WorkingDirectory {
public:
  explicit WorkingDirectory(const fs::path &dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingDirectory() { fs::current_path(saved_); }
  WorkingDirectory(const WorkingDirectory &) = delete;
  WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
  fs::path saved_;
};

// ---------------------------------------------------------------------------
// Random hostile sets.

// Reproducible on every standard library: only the engine's own output is
// used, never a distribution.
class Random {
public:
  Random(std::uint64_t seed, std::uint64_t case_index)
      : engine_(seed * 0x9E3779B97F4A7C15ULL + case_index) {}
  std::uint64_t below(std::uint64_t n) { return engine_() % n; }
  bool chance(unsigned percent) { return below(100) < percent; }
  std::uint32_t bits() { return static_cast<std::uint32_t>(engine_()); }
  template <typename T> T pick(std::initializer_list<T> values) {
    return values.begin()[below(values.size())];
  }
  Bytes bytes(std::size_t count) {
    Bytes result(count, '\0');
    for (char &c : result)
      c = static_cast<char>(engine_());
    return result;
  }

private:
  std::mt19937_64 engine_;
};

constexpr std::array FLOAT_OFFSETS{12,  16,  20,  24,  36,  48,  112, 116, 120,
                                   132, 136, 140, 152, 156, 160, 168, 172, 176};
constexpr std::array TEXT_FIELDS{std::pair{312, 20}, std::pair{332, 50},
                                 std::pair{382, 20}};
constexpr std::array FLOAT_SPECIALS{
    0x7FC00000u, // quiet NaN
    0xFFC00000u, // negative quiet NaN
    0x7F800001u, // signalling NaN
    0x7F800000u, // +infinity
    0xFF800000u, // -infinity
    0x80000000u, // -0
    0x00000001u, // smallest subnormal
    0x7F7FFFFFu, // largest finite
    0xFF7FFFFFu, // most negative finite
    0x3F800000u, // 1
};

// At most this many samples written per case, so that one case stays within
// a few MiB on disk.
constexpr std::int64_t SAMPLE_BUDGET = std::int64_t{1} << 19;

std::int32_t hostile_int(Random &r) {
  return r.pick<std::int32_t>({0, -1, 1, INT32_MIN, INT32_MAX,
                               static_cast<std::int32_t>(r.bits())});
}

// A size or count: 0, negative, 1, small, or large.
std::int32_t hostile_size(Random &r, std::uint64_t small_limit) {
  switch (r.below(6)) {
  case 0: return 0;
  case 1:
    return r.pick<std::int32_t>(
        {-1, INT32_MIN, -1 - static_cast<std::int32_t>(r.below(100000))});
  case 2: return 1;
  case 5:
    return r.pick<std::int32_t>(
        {INT32_MAX, 1 << 16, 1 << 20,
         1000 + static_cast<std::int32_t>(r.below(INT32_MAX - 1000))});
  default: return 2 + static_cast<std::int32_t>(r.below(small_limit - 1));
  }
}

class RecordWriter {
public:
  explicit RecordWriter(Bytes &record) : record_(record) {}
  // Fields the record is too short to hold stay out of it.
  void put(std::size_t offset, std::uint32_t bits) {
    for (std::size_t i = 0; i < 4 && offset + i < record_.size(); ++i)
      record_[offset + i] = static_cast<char>(bits >> (24 - 8 * i));
  }
  void put_text(std::size_t offset, const Bytes &text) {
    for (std::size_t i = 0; i < text.size() && offset + i < record_.size(); ++i)
      record_[offset + i] = text[i];
  }

private:
  Bytes &record_;
};

// In floating point: the product of hostile sizes overflows any integer.
double samples_written(const SetShape &s) {
  double planes = s.dual_mode ? 2 : 1;
  if (s.spectroscopy_file)
    planes += double(positive(s.points_forward)) +
              (s.dual_mode ? double(positive(s.points_backward)) : 0);
  return double(pixels(s)) * planes;
}

// Text field bytes: every byte value across cases, NUL-free, line feeds and
// carriage returns, or empty.
Bytes hostile_text(Random &r, std::uint64_t case_index, int field, int width) {
  Bytes text(static_cast<std::size_t>(width), '\0');
  switch (r.below(5)) {
  case 0:
    for (int j = 0; j < width; ++j)
      text[j] = static_cast<char>((case_index * 90 + field * 20 + j) % 256);
    return text;
  case 1:
    for (char &c : text)
      c = static_cast<char>(1 + r.below(255));
    return text;
  case 2:
    for (char &c : text)
      c = r.pick<char>({'\n', '\r', 'a', ' ', '\0'});
    return text;
  case 3: return text;
  default: return r.bytes(static_cast<std::size_t>(width));
  }
}

Bytes hostile_record(Random &r, std::uint64_t case_index, bool spectroscopy) {
  // Every length from 0 to 420 over the even cases; full records otherwise.
  const std::size_t length = case_index % 2 == 0
                                 ? (case_index / 2) % 421
                                 : r.pick<std::size_t>({402, 402 + r.below(19)});
  const int style = static_cast<int>(r.below(4));
  Bytes record = style == 0 || style == 3 ? r.bytes(length)
                 : style == 1         ? Bytes(length, '\0')
                                      : Bytes(length, '\xFF');
  RecordWriter put(record);
  if (style != 0) {
    for (int offset : FLOAT_OFFSETS)
      put.put(offset, r.chance(70)
                          ? FLOAT_SPECIALS[r.below(FLOAT_SPECIALS.size())]
                          : r.bits());
    put.put(108, static_cast<std::uint32_t>(hostile_int(r)));
    put.put(248, static_cast<std::uint32_t>(hostile_int(r)));
    for (int f = 0; f < 3; ++f)
      put.put_text(TEXT_FIELDS[f].first,
                   hostile_text(r, case_index, f, TEXT_FIELDS[f].second));
  }
  put.put(28, static_cast<std::uint32_t>(hostile_size(r, 8)));
  put.put(32, static_cast<std::uint32_t>(hostile_size(r, 8)));
  put.put(164, static_cast<std::uint32_t>(hostile_size(r, 4)));
  put.put(180, static_cast<std::uint32_t>(hostile_size(r, 4)));
  if (style != 0 || r.chance(50))
    put.put(308, r.chance(50) ? 0u : static_cast<std::uint32_t>(hostile_int(r)));
  // Shrink sizes until the case fits its budget.
  constexpr std::array SIZE_OFFSETS{28, 32, 164, 180};
  while (samples_written(decode_shape("", record, spectroscopy)) > SAMPLE_BUDGET) {
    const int offset = SIZE_OFFSETS[r.below(SIZE_OFFSETS.size())];
    if (big_endian_int(record, offset) > 1)
      put.put(offset, static_cast<std::uint32_t>(1 + r.below(4)));
  }
  return record;
}

// Source sample bytes: none, cut short (odd lengths too), just enough, more
// than enough, or a random length.
Bytes hostile_samples(Random &r, std::int64_t needed_bytes) {
  const auto needed = static_cast<std::size_t>(
      std::min(needed_bytes, 2 * SAMPLE_BUDGET * 3));
  switch (r.below(5)) {
  case 0: return {};
  case 1: return r.bytes(needed > 0 ? r.below(needed) : 0);
  case 2: return r.bytes(needed);
  case 3: return r.bytes(needed + r.below(100));
  default: return r.bytes(r.below(4096));
  }
}

struct RandomCase {
  std::string number;
  Bytes record, topography, spectroscopy;
  bool spectroscopy_file = false;
  Obstacle obstacle;
  bool stale_staging = false;
  bool read_only_sources = false;
  std::map<Name, Bytes> stale_outputs;

  SetShape shape() const {
    return decode_shape(number, record, spectroscopy_file);
  }
  std::string describe() const {
    const SetShape s = shape();
    std::ostringstream text;
    text << "number of " << number.size() << " bytes, record " << record.size()
         << " bytes, X " << s.x << " Y " << s.y << " P " << s.points_forward
         << " Pb " << s.points_backward << (s.dual_mode ? " dual" : " forward only")
         << ", topography " << topography.size() << " bytes, spectroscopy "
         << (spectroscopy_file ? std::to_string(spectroscopy.size()) + " bytes"
                               : "none")
         << ", obstacle kind " << obstacle.kind << " at name " << obstacle.name;
    return text.str();
  }
};

RandomCase random_case(std::uint64_t seed, std::uint64_t case_index) {
  Random r(seed, case_index);
  RandomCase c;
  c.number = r.pick<std::string>(
      {"1", "7", "0", "-3", "007", "2147483647", "-2147483648", "a b", "x.y",
       "\xC3\xBC", "-", "..", "\t", std::to_string(r.bits()),
       std::string(246, '9'), std::string(247, '8'), std::string(253, '5')});
  c.spectroscopy_file = r.chance(60);
  c.record = hostile_record(r, case_index, c.spectroscopy_file);
  const SetShape s = c.shape();
  c.topography = hostile_samples(r, 2 * pixels(s) * (s.dual_mode ? 2 : 1));
  if (c.spectroscopy_file)
    c.spectroscopy = hostile_samples(r, needed_bytes(s, TS, true));
  if (r.chance(35)) {
    c.obstacle.kind = r.pick({Obstacle::MISSING, Obstacle::DIRECTORY,
                              Obstacle::FIFO, Obstacle::FULL_DEVICE});
    c.obstacle.name = c.obstacle.kind == Obstacle::MISSING
                          ? r.pick({TP, TZ})
                          : ALL_NAMES[r.below(ALL_NAMES.size())];
  }
  c.stale_staging = r.chance(50);
  c.read_only_sources = r.chance(50);
  for (Name name : {PAR, TF0, SF0, TB0, SB0})
    if (r.chance(25))
      c.stale_outputs[name] = r.bytes(r.below(300));
  return c;
}

void build_case(const fs::path &dir, const RandomCase &c) {
  auto put = [&](Name name, const Bytes &bytes) {
    const std::string file = file_name(c.number, name);
    if (file.size() <= NAME_LIMIT)
      write_file(dir / file, bytes);
  };
  put(TP, c.record);
  put(TZ, c.topography);
  if (c.spectroscopy_file)
    put(TS, c.spectroscopy);
  const std::string missing = file_name(c.number, c.obstacle.name);
  if (c.obstacle.kind == Obstacle::MISSING && missing.size() <= NAME_LIMIT)
    fs::remove(dir / missing);
  if (c.stale_staging)
    put(TMP, reversed(c.record) + "stale");
  for (const auto &[name, bytes] : c.stale_outputs)
    put(name, bytes);
  // Another set and a file of the user's, which no conversion of this set
  // may touch.
  write_file(dir / "tp_other", c.record);
  write_file(dir / "m_other_ori.tf0", "converted earlier");
  write_file(dir / "notes.txt", "measurement notes");
  place_obstacle(dir, c.number, c.obstacle);
  if (c.read_only_sources)
    for (Name name : {TP, TZ, TS})
      ::chmod((dir / file_name(c.number, name)).c_str(), 0444);
  age_entries(dir);
}

// The start of each short-source warning a converted set gives, up to what
// the conversion put in place of the missing bytes: the source, its size
// and the size the set needs.
std::vector<std::string> expected_short_sources(const RandomCase &c,
                                                const Outcome &expected) {
  std::vector<std::string> lines;
  if (expected.code != 0)
    return lines;
  const SetShape s = c.shape();
  for (const auto &[name, bytes] :
       {std::pair{TP, &c.record}, {TZ, &c.topography}, {TS, &c.spectroscopy}}) {
    const std::int64_t need = needed_bytes(s, name, expected.has_spectroscopy);
    const auto size = static_cast<std::int64_t>(bytes->size());
    if (size < need)
      lines.push_back("parvane-convert: " + printable(file_name(c.number, name)) +
                      ": holds " + std::to_string(size) +
                      (size == 1 ? " byte" : " bytes") + ", the set needs " +
                      std::to_string(need) + ";");
  }
  return lines;
}

std::vector<std::string> short_source_lines(const std::string &errors) {
  std::vector<std::string> lines;
  std::istringstream in(errors);
  for (std::string line; std::getline(in, line);)
    if (const std::size_t end = line.find(", the set needs ");
        end != std::string::npos)
      lines.push_back(line.substr(0, line.find(';', end) + 1));
  return lines;
}

void run_random_case(std::uint64_t seed, std::uint64_t case_index,
                     DirectoryWatch &watch) {
  const RandomCase c = random_case(seed, case_index);
  SCOPED_TRACE("seed " + std::to_string(seed) + " case " +
               std::to_string(case_index) + ": " + c.describe() +
               "\nreplay: PARVANE_ROBUSTNESS_SEED=" + std::to_string(seed) +
               " PARVANE_ROBUSTNESS_CASE=" + std::to_string(case_index) +
               " parvane_tests --gtest_filter='RobustnessReplay.*'");
  ScratchDir dir;
  build_case(dir.path(), c);
  const SetShape shape = c.shape();
  const Outcome expected = predict(shape, c.obstacle);
  const Snapshot before = snapshot(dir.path());

  watch.watch(dir.path());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int code = -1;
  {
    WorkingDirectory inside(dir.path());
    try {
      code = convert_file_set(c.number);
    } catch (const std::exception &error) {
      ADD_FAILURE() << "the conversion threw: " << error.what();
    }
  }
  const std::string console = ::testing::internal::GetCapturedStdout();
  const std::string errors = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(code, expected.code);
  EXPECT_EQ(console,
            code == 0 ? "File number " + c.number + " Done!\n" : std::string());
  EXPECT_EQ(short_source_lines(errors), expected_short_sources(c, expected))
      << errors;
  expect_outcome(
      before, snapshot(dir.path()), watch.changed_names(),
      written_names(c.number), states_by_file_name(c.number, expected),
      [&](const std::string &file, const Bytes &bytes, State state) {
        EXPECT_EQ(state, State::Complete);
        if (file == STAGING_FILE_NAME)
          EXPECT_EQ(bytes, reversed(c.record)) << "not the staging copy";
        else if (file == file_name(c.number, PAR))
          expect_parameter_text(bytes, c.record, shape, expected.has_spectroscopy);
        else
          for (Name name : {TF0, TB0, SF0, SB0})
            if (file == file_name(c.number, name))
              expect_sample_file(name, bytes, shape, c.topography, c.spectroscopy);
      });
}

constexpr std::uint64_t CASES_PER_SEED = 500;

class Robustness : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(Robustness, EveryHostileSetEndsTruthfullyAndDamagesNothing) {
  const std::uint64_t seed = GetParam();
  DirectoryWatch watch;
  for (std::uint64_t i = 0; i < CASES_PER_SEED && !HasFailure(); ++i)
    run_random_case(seed, (seed - 1) * CASES_PER_SEED + i, watch);
}

// Case indexes continue from seed to seed, so that together the seeds give
// every record length several times.
INSTANTIATE_TEST_SUITE_P(RandomSets, Robustness,
                         ::testing::Range<std::uint64_t>(1, 9),
                         [](const auto &info) {
                           return "Seed" + std::to_string(info.param);
                         });

// Replays one case from a failure message.
TEST(RobustnessReplay, CaseFromEnvironment) {
  const char *seed = std::getenv("PARVANE_ROBUSTNESS_SEED");
  const char *index = std::getenv("PARVANE_ROBUSTNESS_CASE");
  if (seed == nullptr || index == nullptr)
    GTEST_SKIP() << "set PARVANE_ROBUSTNESS_SEED and PARVANE_ROBUSTNESS_CASE";
  DirectoryWatch watch;
  run_random_case(std::strtoull(seed, nullptr, 10),
                  std::strtoull(index, nullptr, 10), watch);
}

// Reads far outside a record or a file give zeros, not undefined behaviour.
TEST(ExtremeReads, OffsetsAnywhereReadAsZero) {
  ScratchDir dir;
  write_file(dir / "tp1", RecordBuilder(402).int_at(398, 0x01020304).bytes());
  std::optional<File> record = File::open_source((dir / "tp1").string());
  std::optional<File> staging = create_scratch((dir / "tmp.par").string());
  ASSERT_TRUE(record && staging);
  const std::int64_t length = make_staging_copy(*record, *staging).record_length;
  EXPECT_EQ(read_int_field(*staging, length, 398), 0x01020304);
  for (std::int64_t offset : {INT64_MAX, INT64_MAX - 3, INT64_MIN, -1L, 399L})
    EXPECT_EQ(read_int_field(*staging, length, offset), 0) << offset;
  EXPECT_EQ(record->read_at(0, std::span<std::uint8_t>()), std::size_t{0});
}

// ---------------------------------------------------------------------------
// POSIX only from here to the end of the file (fork and exec, RLIMIT_FSIZE,
// /dev/full, /proc/self/mem, symbolic and hard links): faults in a batch run
// by the built converter, sets 1 to 3, one file of one set in the way.
// Suites: WriteFaultInBatch, PosixReadFaultInBatch, PosixLinkInBatch.

struct BatchFault {
  Obstacle obstacle;
  int failing_set; // "tmp.par" is shared by every set: its faults strike set 1
  int code; // of the report's second line
  // Why, as the standard error line after the report gives it, for the file
  // in the way.
  std::string reason;
};

void PrintTo(const BatchFault &fault, std::ostream *out) {
  constexpr std::array KINDS{"nothing",       "missing",      "directory",
                             "FIFO",          "/dev/full",    "symbolic link",
                             "hard link",     "dangling link", "/proc/self/mem",
                             "size limit"};
  const std::string set = std::to_string(fault.failing_set);
  const Obstacle &o = fault.obstacle;
  *out << "code " << fault.code << ": " << KINDS[o.kind] << " at "
       << file_name(set, o.name);
  if (o.kind == Obstacle::SYMBOLIC_LINK || o.kind == Obstacle::HARD_LINK)
    *out << " onto " << file_name(set, o.target);
}

// The arguments of the two walks: every set found, and a list.
const std::array<std::vector<std::string>, 2> WALKS{
    std::vector<std::string>{}, std::vector<std::string>{"1", "2", "3"}};

// Dual mode with spectroscopy, so that every role is written.
const Bytes FAULT_RECORD = RecordBuilder(402)
                               .shape(3, 2, true, 2, 3)
                               .text_at(312, "12.03.2006")
                               .text_at(382, "operator")
                               .bytes();

void build_batch(const fs::path &dir) {
  const Bytes topography = counting_samples(12, 0x8000);
  const Bytes spectroscopy = counting_samples(3 * 6 + 3 * 12, 0x7000);
  for (const char *number : {"1", "2", "3"})
    write_set(dir, number, FAULT_RECORD, topography, &spectroscopy);
  // Left from an earlier run: the set after the failure must keep it.
  write_file(dir / "m3_ori.tf0", "converted earlier");
  write_file(dir / "m3_ori.sb0", "converted earlier");
  write_file(dir / "notes.txt", "measurement notes");
}

// Runs the batch with `fault` in the way and checks the console, the status
// and every file against the model and a clean run of the same batch.
void expect_fault_in_batch(const BatchFault &fault,
                           const std::vector<std::string> &args) {
  ScratchDir reference;
  build_batch(reference.path());
  const RunResult clean = run_converter(reference.path(), args);
  ASSERT_EQ(clean.status, 0) << clean.output;
  const Snapshot converted = snapshot(reference.path());

  const std::string failing = std::to_string(fault.failing_set);
  const Obstacle &obstacle = fault.obstacle;
  ScratchDir dir;
  build_batch(dir.path());
  place_obstacle(dir.path(), failing, obstacle);
  age_entries(dir.path());
  const Snapshot before = snapshot(dir.path());
  DirectoryWatch watch;
  watch.watch(dir.path());
  RunOptions options;
  if (obstacle.kind == Obstacle::SIZE_LIMIT)
    options.file_size_limit = FILE_SIZE_LIMIT;
  const RunResult run =
      run_converter(dir.path(), args, PARVANE_BINARY, options);

  const Outcome expected =
      predict(decode_shape(failing, FAULT_RECORD, true), obstacle);
  ASSERT_EQ(expected.code, fault.code);
  // The console is the clean run's up to the failing set, then the report.
  const std::size_t failing_done =
      clean.output.find("File number " + failing + " Done!\n");
  ASSERT_NE(failing_done, std::string::npos) << clean.output;
  EXPECT_EQ(run.output, clean.output.substr(0, failing_done) +
                            "Error converting file number " + failing +
                            "\n" + error_line(fault.code) + "\nExiting..\n\n");
  EXPECT_EQ(run.errors, "parvane-convert: " + file_name(failing, obstacle.name) +
                            ": " + fault.reason + "\n");
  EXPECT_EQ(run.status, 1);

  // Sets before the failing one are converted exactly as in the clean run,
  // the failing set holds what its failure leaves, the sets after it and
  // everything else are as they were.
  std::map<std::string, State> states = states_by_file_name(failing, expected);
  for (int earlier = 1; earlier < fault.failing_set; ++earlier)
    for (Name name : {PAR, TF0, SF0, TB0, SB0})
      states[file_name(std::to_string(earlier), name)] = State::Complete;
  std::set<std::string> writable;
  for (int set = 1; set <= fault.failing_set; ++set)
    writable.merge(written_names(std::to_string(set)));
  // A link's target is opened for writing through it, but never written: it
  // must still be exactly as it was (or as the conversion made it).
  const bool link = obstacle.kind == Obstacle::SYMBOLIC_LINK ||
                    obstacle.kind == Obstacle::HARD_LINK;
  if (link)
    writable.insert(file_name(failing, obstacle.target));
  expect_outcome(
      before, snapshot(dir.path()), watch.changed_names(), writable, states,
      [&](const std::string &file, const Bytes &bytes, State state) {
        // A hard link holds its target's bytes.
        const std::string holder =
            obstacle.kind == Obstacle::HARD_LINK &&
                    file == file_name(failing, obstacle.name)
                ? file_name(failing, obstacle.target)
                : file;
        const Bytes complete = holder == STAGING_FILE_NAME
                                   ? reversed(FAULT_RECORD)
                                   : converted.at(holder).bytes;
        if (state == State::Complete) {
          EXPECT_EQ(bytes, complete);
        } else {
          EXPECT_LT(bytes.size(), complete.size());
          EXPECT_EQ(bytes, complete.substr(0, bytes.size()));
        }
      });
}

// The files a conversion opens and writes, in the order of their codes.
constexpr std::array WRITTEN{TMP, PAR, TF0, SF0, TB0, SB0};

int failing_set_for(Name name) { return name == TMP ? 1 : 2; }

// Every write fails once: the staging file through a file size limit (a
// link there would be refused), every output through a link to /dev/full.
std::vector<BatchFault> write_faults() {
  std::vector<BatchFault> faults;
  for (Name name : WRITTEN)
    faults.push_back(
        {{name == TMP ? Obstacle::SIZE_LIMIT : Obstacle::FULL_DEVICE, name},
         failing_set_for(name),
         result_code(FailureCode::Write, role_of(name)),
         std::strerror(name == TMP ? EFBIG : ENOSPC)});
  return faults;
}

class WriteFaultInBatch
    : public ::testing::TestWithParam<std::tuple<BatchFault, std::size_t>> {};

TEST_P(WriteFaultInBatch, ReportsItsCodeAndLeavesEveryOtherFileAlone) {
  const auto &[fault, walk] = GetParam();
  expect_fault_in_batch(fault, WALKS[walk]);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWrite, WriteFaultInBatch,
    ::testing::Combine(::testing::ValuesIn(write_faults()),
                       ::testing::Values(std::size_t{0}, std::size_t{1})),
    [](const auto &info) {
      return "Code" + std::to_string(std::get<0>(info.param).code) +
             (std::get<1>(info.param) == 0 ? "Batch" : "List");
    });

// Whether reads of /proc/self/mem fail with EIO here, as the read faults
// below need.
bool process_memory_fails_reads() {
  const int descriptor = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  struct stat status {};
  char byte = 0;
  const bool regular = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  const bool eio = ::pread(descriptor, &byte, 1, 0) < 0 && errno == EIO;
  ::close(descriptor);
  return regular && eio;
}

class PosixReadFaultInBatch : public ::testing::TestWithParam<BatchFault> {};

// Each source of set 2 in turn is a link to /proc/self/mem: a regular file
// whose reads fail. The record reads as empty (its size shows as 0), so its
// text fields are the read that fails, once the first outputs are emptied.
TEST_P(PosixReadFaultInBatch, ReportsItsCodeAndDeletesNothing) {
  if (!process_memory_fails_reads())
    GTEST_SKIP() << "/proc/self/mem is missing here or its reads do not fail "
                    "with EIO";
  expect_fault_in_batch(GetParam(), WALKS[1]);
}

INSTANTIATE_TEST_SUITE_P(
    EverySource, PosixReadFaultInBatch,
    ::testing::Values(
        BatchFault{{Obstacle::UNREADABLE, TP}, 2, 15, std::strerror(EIO)},
        BatchFault{{Obstacle::UNREADABLE, TZ}, 2, 16, std::strerror(EIO)},
        BatchFault{{Obstacle::UNREADABLE, TS}, 2, 17, std::strerror(EIO)}),
    [](const auto &info) { return "Code" + std::to_string(info.param.code); });

// A source whose name exists but that cannot be opened is no missing file:
// the walk stops at such a record instead of passing it by, and such a
// spectroscopy file fails its set instead of leaving out the curves.
class PosixUnopenableSourceInBatch
    : public ::testing::TestWithParam<std::tuple<BatchFault, std::size_t>> {};

TEST_P(PosixUnopenableSourceInBatch, FailsTheSetAndSaysWhy) {
  const auto &[fault, walk] = GetParam();
  expect_fault_in_batch(fault, WALKS[walk]);
}

INSTANTIATE_TEST_SUITE_P(
    DanglingLink, PosixUnopenableSourceInBatch,
    ::testing::Combine(
        ::testing::Values(
            BatchFault{{Obstacle::DANGLING_LINK, TP}, 2, 1, std::strerror(ENOENT)},
            BatchFault{{Obstacle::DANGLING_LINK, TZ}, 2, 2, std::strerror(ENOENT)},
            BatchFault{{Obstacle::DANGLING_LINK, TS}, 2, 17, std::strerror(ENOENT)}),
        ::testing::Values(std::size_t{0}, std::size_t{1})),
    [](const auto &info) {
      return "Code" + std::to_string(std::get<0>(info.param).code) +
             (std::get<1>(info.param) == 0 ? "Batch" : "List");
    });

// Symbolic and hard links at the staging file and at each output, onto each
// source of the set and onto a file the conversion opened just before: the
// open fails with its own code and nothing is emptied through the link.
std::vector<BatchFault> link_faults() {
  std::vector<BatchFault> faults;
  for (Obstacle::Kind kind : {Obstacle::SYMBOLIC_LINK, Obstacle::HARD_LINK}) {
    for (std::size_t r = 0; r < WRITTEN.size(); ++r) {
      const Name name = WRITTEN[r];
      std::vector<Name> targets{TP, TZ, TS};
      // tmp.par is made afresh by every set, and an earlier output that has
      // a second name is replaced when it is opened: only a symbolic link at
      // an output leads to the staging file or an output opened before.
      if (r > 0 && kind == Obstacle::SYMBOLIC_LINK)
        targets.push_back(name == TB0 ? TF0 : WRITTEN[r - 1]);
      // A link at tmp.par onto a file that is none of the set's open files
      // (a later output, a file of the user's): refused as a link, not for
      // what it leads to.
      if (name == TMP) {
        targets.push_back(NOTES);
        if (kind == Obstacle::SYMBOLIC_LINK)
          targets.push_back(PAR);
      }
      for (Name target : targets) {
        const std::string reason =
            name != TMP ? "a link to " + file_name("2", target) +
                                   ", a file of this set; not emptied"
            : kind == Obstacle::SYMBOLIC_LINK
                ? "a symbolic link; not followed"
                : "has another name (a hard link); not used";
        faults.push_back({{kind, name, target},
                          failing_set_for(name),
                          result_code(FailureCode::Open, role_of(name)),
                          reason});
      }
    }
  }
  return faults;
}

class PosixLinkInBatch : public ::testing::TestWithParam<BatchFault> {};

TEST_P(PosixLinkInBatch, RefusesToEmptyAFileOfTheSet) {
  expect_fault_in_batch(GetParam(), WALKS[1]);
}

std::string short_name(Name name) {
  constexpr std::array NAMES{"Tp",  "Tz",  "Ts",  "Tmp", "Par",  "Tf0",
                             "Sf0", "Tb0", "Sb0", "Notes", "Gwy"};
  return NAMES[name];
}

INSTANTIATE_TEST_SUITE_P(
    OntoTheSet, PosixLinkInBatch, ::testing::ValuesIn(link_faults()),
    [](const auto &info) {
      const Obstacle &o = info.param.obstacle;
      return std::string(o.kind == Obstacle::HARD_LINK ? "Hard" : "Symbolic") +
             short_name(o.name) + "To" + short_name(o.target);
    });

// ---------------------------------------------------------------------------
// parvane-export over the same batch: one file of set 2 in the way. Set 2
// fails with one line on standard error, sets 1 and 3 are still exported,
// and nothing else in the directory changes: no temporary is left, no
// source is written through a link, an earlier output stays as it was.

struct ExportFault {
  Obstacle obstacle; // at a name of set 2
  bool earlier_output = false; // m2.gwy exists, written by an earlier run
  bool force = false;
  std::string error; // the line on standard error
  // A source of set 2 cut to `cut_at` bytes by the first read that reaches
  // past them (`Obstacle::NONE`'s name), after the export planned from its
  // size; with `cut_errno`, such reads fail with it instead.
  std::int64_t cut_at = -1;
  int cut_errno = 0;
};

void PrintTo(const ExportFault &fault, std::ostream *out) {
  *out << fault.error;
}

// Whether the GWY writer puts out more than the format's magic, so that a
// fault in reading a source can show at all.
bool gwy_content_built() {
  ScratchDir dir;
  build_batch(dir.path());
  return run_exporter(dir.path(), {"1"}).status == 0 &&
         fs::file_size(dir / gwy_export_name("1")) > 4;
}

// The options that have the export's reads of `file` cut short at `at`
// bytes by the test's shim (see short_read_shim.cpp), or, with `error`, fail
// there with that error number. A sanitizer's runtime wants to come first
// among the libraries; the shim only passes reads on, so the order does not
// matter here.
RunOptions cutting(const std::string &file, std::int64_t at, int error = 0) {
  const char *sanitizer_options = std::getenv("ASAN_OPTIONS");
  RunOptions options;
  options.environment = {
      {"LD_PRELOAD", PARVANE_SHORT_READ_SHIM},
      {"PARVANE_CUT_FILE", file},
      {"PARVANE_CUT_AT", std::to_string(at)},
      {"ASAN_OPTIONS", std::string(sanitizer_options ? sanitizer_options : "") +
                           ":verify_asan_link_order=0"}};
  if (error != 0)
    options.environment.emplace_back("PARVANE_CUT_ERRNO", std::to_string(error));
  return options;
}

class PosixExportFault : public ::testing::TestWithParam<ExportFault> {};

TEST_P(PosixExportFault, FailsThatSetAloneAndLeavesEveryOtherFileAlone) {
  const ExportFault &fault = GetParam();
  if (fault.obstacle.kind == Obstacle::UNREADABLE &&
      (!process_memory_fails_reads() || !gwy_content_built()))
    GTEST_SKIP() << "no failing reads of /proc/self/mem here, or no GWY "
                    "content that reads the sources";
  ScratchDir dir;
  build_batch(dir.path());
  place_obstacle(dir.path(), "2", fault.obstacle);
  if (fault.earlier_output)
    write_file(dir / gwy_export_name("2"), "exported earlier");
  age_entries(dir.path());
  const Snapshot before = snapshot(dir.path());
  DirectoryWatch watch;
  watch.watch(dir.path());
  std::vector<std::string> args{"1", "2", "3"};
  if (fault.force)
    args.push_back("--force");
  const RunResult run = run_exporter(
      dir.path(), args,
      fault.cut_at < 0 ? RunOptions{}
                       : cutting(file_name("2", fault.obstacle.name),
                                 fault.cut_at, fault.cut_errno));

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "m1.gwy\nm3.gwy\n");
  EXPECT_EQ(run.errors, fault.error);

  const std::set<std::string> changed = watch.changed_names();
  std::set<std::string> writable{"m1.gwy", "m3.gwy"};
  std::map<std::string, State> states{{"m1.gwy", State::Complete},
                                      {"m3.gwy", State::Complete}};
  const std::string cut = file_name("2", fault.obstacle.name);
  if (fault.cut_at >= 0 && fault.cut_errno == 0) {
    writable.insert(cut);
    states[cut] = State::Partial;
  }
  for (const std::string &name : changed)
    if (name.ends_with(".tmp"))
      writable.insert(name); // created and gone again: checked as absent
  expect_outcome(before, snapshot(dir.path()), changed, writable, states,
                 [&](const std::string &name, const Bytes &bytes, State) {
                   if (name == cut)
                     EXPECT_EQ(std::ssize(bytes), fault.cut_at);
                   else
                     EXPECT_TRUE(bytes.starts_with("GWYP"));
                 });
}

INSTANTIATE_TEST_SUITE_P(
    SetTwo, PosixExportFault,
    ::testing::Values(
        ExportFault{{Obstacle::SYMBOLIC_LINK, GWY, TZ}, false, true,
                    "parvane-export: m2.gwy: is one of the set's sources\n"},
        ExportFault{{Obstacle::HARD_LINK, GWY, TP}, false, true,
                    "parvane-export: m2.gwy: is one of the set's sources\n"},
        ExportFault{{Obstacle::SYMBOLIC_LINK, GWY, TS}, false, false,
                    "parvane-export: m2.gwy: is one of the set's sources\n"},
        ExportFault{{}, true, false,
                    "parvane-export: m2.gwy: exists; --force replaces it\n"},
        // Read failures in the system's words; /proc/self/mem's size of 0
        // makes the planes short before they are read.
        ExportFault{{Obstacle::UNREADABLE, TP}, false, false,
                    "parvane-export: tp2: " + std::string(std::strerror(EIO)) +
                        "\n"},
        ExportFault{{Obstacle::UNREADABLE, TZ}, false, false,
                    "parvane-export: tz2: holds 0 bytes, the set needs 24\n"},
        ExportFault{{Obstacle::UNREADABLE, TS}, false, false,
                    "parvane-export: ts2: holds 0 bytes, the set needs 72\n"},
        ExportFault{{Obstacle::NONE, TZ}, false, false,
                    "parvane-export: tz2: " + std::string(std::strerror(EIO)) +
                        "\n",
                    10, EIO},
        ExportFault{{Obstacle::NONE, TS}, false, false,
                    "parvane-export: ts2: " + std::string(std::strerror(EIO)) +
                        "\n",
                    50, EIO},
        // Sources cut while being read: the record in its one read, the
        // planes in the tile reader of few points per pixel.
        ExportFault{{Obstacle::NONE, TP}, false, false,
                    "parvane-export: tp2: ended at 100 bytes while being "
                    "read; the set needs 402\n",
                    100},
        ExportFault{{Obstacle::NONE, TZ}, false, false,
                    "parvane-export: tz2: ended at 10 bytes while being "
                    "read; the set needs 24\n",
                    10},
        ExportFault{{Obstacle::NONE, TS}, false, false,
                    "parvane-export: ts2: ended at 50 bytes while being "
                    "read; the set needs 72\n",
                    50},
        // A spectroscopy file that is there but cannot be opened fails the
        // set, as in the conversion: no export without its curves.
        ExportFault{{Obstacle::DANGLING_LINK, TS}, false, false,
                    "parvane-export: ts2: " + std::string(std::strerror(ENOENT)) +
                        "\n"}),
    [](const auto &info) {
      const ExportFault &f = info.param;
      if (f.earlier_output)
        return std::string("EarlierOutput");
      const Obstacle &o = f.obstacle;
      if (f.cut_at >= 0)
        return (f.cut_errno != 0 ? "FailingRead" : "Cut") + short_name(o.name);
      if (o.kind == Obstacle::UNREADABLE)
        return "Unreadable" + short_name(o.name);
      if (o.kind == Obstacle::DANGLING_LINK)
        return "Dangling" + short_name(o.name);
      return std::string(o.kind == Obstacle::HARD_LINK ? "Hard" : "Symbolic") +
             short_name(o.name) + "To" + short_name(o.target) +
             (f.force ? "Forced" : "");
    });

// A disk that fills during the export: every file the program writes stops
// growing at 2 KiB, which its standard error stays below. Every set fails,
// naming the temporary that could not be written in the system's words, and
// neither a partial GWY file nor a temporary is left.
TEST(PosixExportFullDisk, LeavesNoPartialFile) {
  ScratchDir dir;
  build_batch(dir.path());
  const Snapshot before = snapshot(dir.path());
  RunOptions options;
  options.file_size_limit = 2048;
  const RunResult run = run_exporter(dir.path(), {"--all", "."}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(snapshot(dir.path()), before);
  std::istringstream lines(run.errors);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const std::string number = std::to_string(count + 1);
    const std::string prefix = "parvane-export: ";
    const std::string reason = ": " + std::string(std::strerror(EFBIG)) +
                               " (the temporary file for m" + number + ".gwy)";
    ASSERT_TRUE(line.starts_with(prefix) && line.ends_with(reason)) << line;
    const std::string temporary =
        line.substr(prefix.size(), line.size() - prefix.size() - reason.size());
    EXPECT_TRUE(is_temporary_name_for(temporary, gwy_export_name(number)))
        << temporary;
  }
  EXPECT_EQ(count, 3);
}

// Sources cut while being read by the tile readers for many points per
// pixel: one read per pixel, or whole pixels a chunk at a time in bands of
// points. Each set fails with what the source holds now and what it needs,
// and leaves no file behind.
struct ReaderCut {
  std::string name;
  std::int32_t x, y, points;
  std::int64_t cut_at;
};

void PrintTo(const ReaderCut &c, std::ostream *out) { *out << c.name; }

class PosixExportReaderCut : public ::testing::TestWithParam<ReaderCut> {};

TEST_P(PosixExportReaderCut, FailsTheSetWithWhatTheSourceHoldsNow) {
  const ReaderCut &c = GetParam();
  ScratchDir dir;
  const std::int64_t needed = std::int64_t{2} * c.x * c.y * c.points;
  write_file(dir / "tp5", RecordBuilder(402).shape(c.x, c.y, false, c.points).bytes());
  write_file(dir / "tz5", counting_samples(std::size_t(c.x) * std::size_t(c.y)));
  write_file(dir / "ts5", "");
  fs::resize_file(dir / "ts5", static_cast<std::uintmax_t>(needed));
  const RunResult run = run_exporter(dir.path(), {"5"}, cutting("ts5", c.cut_at));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, "parvane-export: ts5: ended at " +
                            std::to_string(c.cut_at) +
                            " bytes while being read; the set needs " +
                            std::to_string(needed) + "\n");
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"tp5", "ts5", "tz5"}));
}

// The shapes the export reads per pixel and in bands, as it chooses them for
// its buffers.
INSTANTIATE_TEST_SUITE_P(
    Readers, PosixExportReaderCut,
    ::testing::Values(ReaderCut{"PerPixel", 4, 4, 300000, 1500000},
                      ReaderCut{"Banded", 96, 64, 1024, 3000000}),
    [](const auto &info) { return info.param.name; });

// Memory the export needs does not grow with the set: under an address
// space of 48 MiB, a grid of 2^31 - 1 points per pixel (a sparse 4 GiB
// ts<n>) is refused by arithmetic alone, one of 4 Mi + 1 points (a bias axis
// of 32 MiB) is exported, and the run goes on to the next set.
TEST(PosixExportMemory, StaysWithinALimitWhateverTheShape) {
#ifdef PARVANE_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime maps terabytes of shadow memory, "
                  "beyond any address space limit";
#endif
  ScratchDir dir;
  const auto write_grid = [&](const std::string &number, std::int32_t points) {
    write_set(dir.path(), number,
              RecordBuilder(402).shape(1, 1, false, points).bytes(),
              counting_samples(1));
    write_file(dir / ("ts" + number), "");
    fs::resize_file(dir / ("ts" + number), std::uintmax_t{2} * points);
  };
  write_grid("1", 0x7FFFFFFF);
  write_grid("2", (1 << 22) + 1);
  write_set(dir.path(), "3", RecordBuilder(402).shape(3, 2, true).bytes(),
            counting_samples(12));
  RunOptions options;
  options.address_space_limit = std::uint64_t{48} << 20;
  const RunResult run = run_exporter(dir.path(), {"--all", "."}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "m2.gwy\nm3.gwy\n");
  EXPECT_EQ(run.errors, "parvane-export: tp1: the set would make a GWY file "
                        "larger than the format's limit of 4 GiB per object\n");
}

// ---------------------------------------------------------------------------
// parvane-export against another program that acts while it runs, right
// after the export has checked its output's name (the meanwhile library runs
// the command then): the export takes a name only as it found it, free or
// (with --force) holding the same file, and never replaces what another
// program put there. Each case runs on a scratch directory and on an exFAT
// file system through FUSE, whose renames cannot refuse to replace and
// which makes no hard links.

// A program of the system: where Debian keeps it, else by name on the PATH.
std::string system_program(const std::string &name) {
  for (const char *directory : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
    if (::access((directory + name).c_str(), X_OK) == 0)
      return directory + name;
  return name;
}

RunResult run_system_program(const fs::path &dir,
                             const std::vector<std::string> &argv) {
  return run_program(dir, system_program(argv.front()), argv);
}

// An exFAT file system in an image file, on a loop device, mounted through
// FUSE, as long as the object lives: unmounted and detached again however
// the test ends. `unavailable` says why this system cannot have one (which
// skips the test: not root, no FUSE, no free loop device, exFAT's tools
// missing or refused); `failure` why making it failed (which fails the test).
class ExfatMount {
public:
  ExfatMount() {
    if (::geteuid() != 0) {
      unavailable_ = "not root: no loop device, no mount";
      return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      unavailable_ = "no /dev/fuse";
      return;
    }
    const fs::path image = scratch_ / "exfat.img";
    write_file(image, "");
    fs::resize_file(image, 32 << 20);
    const RunResult made =
        run_system_program(scratch_.path(), {"mkfs.exfat", image.string()});
    if (made.status == 127) {
      unavailable_ = "no mkfs.exfat (Debian: exfatprogs)";
      return;
    }
    if (made.status != 0) {
      failure_ = "mkfs.exfat failed: " + made.errors;
      return;
    }
    const RunResult loop = run_system_program(
        scratch_.path(), {"losetup", "-f", "--show", image.string()});
    if (loop.status != 0) {
      unavailable_ = "no free loop device: " + loop.errors;
      return;
    }
    loop_ = loop.output.substr(0, loop.output.find('\n'));
    mount_ = scratch_ / "mnt";
    fs::create_directory(mount_);
    const RunResult mounted = run_system_program(
        scratch_.path(), {"mount.exfat-fuse", loop_, mount_.string()});
    if (mounted.status != 0) {
      unavailable_ = "the exFAT mount (Debian: exfat-fuse) failed: " +
                     mounted.errors;
      return;
    }
    mounted_ = true;
  }
  ~ExfatMount() {
    // Lazily when busy: a mount must never outlive its test.
    if (mounted_ &&
        run_system_program(scratch_.path(), {"umount", mount_.string()})
                .status != 0)
      run_system_program(scratch_.path(), {"umount", "-l", mount_.string()});
    if (!loop_.empty())
      run_system_program(scratch_.path(), {"losetup", "-d", loop_});
  }
  ExfatMount(const ExfatMount &) = delete;
  ExfatMount &operator=(const ExfatMount &) = delete;

  const std::string &unavailable() const { return unavailable_; }
  const std::string &failure() const { return failure_; }
  const fs::path &path() const { return mount_; }

private:
  ScratchDir scratch_;
  std::string unavailable_, failure_, loop_;
  fs::path mount_;
  bool mounted_ = false;
};

// Runs the export in `dir` with the meanwhile library, which runs `command`
// once the export has created its temporary file.
RunResult run_exporter_meanwhile(const fs::path &dir, const std::string &command,
                                 const std::vector<std::string> &args) {
  // The library comes before AddressSanitizer's runtime, harmlessly: it
  // only passes opens on.
  const char *sanitizer = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> argv{
      "env", "LD_PRELOAD=" PARVANE_MEANWHILE_SHIM, "PARVANE_MEANWHILE=" + command,
      "ASAN_OPTIONS=" + std::string(sanitizer ? sanitizer : "") +
          ":verify_asan_link_order=0",
      PARVANE_EXPORT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(dir, "env", argv);
}

const std::string OTHER_RUN =
    std::string(PARVANE_EXPORT_BINARY) + " -q -f -o out b/tp1";

struct Meanwhile {
  std::string name;
  bool earlier;        // out/m1.gwy holds a file of the user's at the start
  bool force;
  std::string command; // what another program does meanwhile
  std::string error;   // the export's line on standard error, if any
  enum Holds { ThisExport, OtherRun, OtherProgram } holds; // out/m1.gwy after
};

void PrintTo(const Meanwhile &c, std::ostream *out) { *out << c.name; }

const std::string CREATED = "parvane-export: out/m1.gwy: was created by "
                            "another program while this export ran\n";
const std::string REPLACED = "parvane-export: out/m1.gwy: was replaced by "
                             "another program while this export ran\n";

const Meanwhile MEANWHILE_CASES[] = {
    {"Nothing", false, false, ":", "", Meanwhile::ThisExport},
    {"NothingForced", true, true, ":", "", Meanwhile::ThisExport},
    {"FreeNameTaken", false, false, "echo x >out/m1.gwy", CREATED,
     Meanwhile::OtherProgram},
    // Two forced runs of different sets numbered 1 into one directory.
    {"FreeNameTakenByAForcedRun", false, true, OTHER_RUN, CREATED,
     Meanwhile::OtherRun},
    {"CheckedFileReplacedByAForcedRun", true, true, OTHER_RUN, REPLACED,
     Meanwhile::OtherRun},
    {"CheckedFileSavedOver", true, true,
     "mv out/m1.gwy out/kept && echo x >out/m1.gwy", REPLACED,
     Meanwhile::OtherProgram},
    {"CheckedFileDeleted", true, true, "rm out/m1.gwy", "",
     Meanwhile::ThisExport},
};

enum class Disk { Scratch, Exfat };

void PrintTo(Disk disk, std::ostream *out) {
  *out << (disk == Disk::Exfat ? "exFAT" : "scratch directory");
}

class PosixExportMeanwhile
    : public ::testing::TestWithParam<std::tuple<Meanwhile, Disk>> {};

TEST_P(PosixExportMeanwhile, TakesTheNameOnlyAsItWasChecked) {
  const auto &[c, disk] = GetParam();
  std::optional<ScratchDir> scratch;
  std::optional<ExfatMount> exfat;
  if (disk == Disk::Exfat) {
    exfat.emplace();
    ASSERT_EQ(exfat->failure(), "");
    if (!exfat->unavailable().empty())
      GTEST_SKIP() << exfat->unavailable();
  } else {
    scratch.emplace();
  }
  const fs::path root = exfat ? exfat->path() : scratch->path();
  // Two sets numbered 1 whose exports differ.
  fs::create_directories(root / "a");
  fs::create_directories(root / "b");
  fs::create_directories(root / "out");
  const Bytes spectroscopy = counting_samples(3 * 6 + 3 * 12, 0x7000);
  write_set(root / "a", "1", FAULT_RECORD, counting_samples(12, 0x8000),
            &spectroscopy);
  write_set(root / "b", "1", FAULT_RECORD, counting_samples(12, 0x1000),
            &spectroscopy);
  ASSERT_EQ(run_exporter(root, {"-q", "-o", "a", "a/tp1"}).status, 0);
  ASSERT_EQ(run_exporter(root, {"-q", "-o", "b", "b/tp1"}).status, 0);
  if (c.earlier)
    write_file(root / "out/m1.gwy", "earlier");

  std::vector<std::string> args{"-o", "out", "a/tp1"};
  if (c.force)
    args.insert(args.begin(), "-f");
  const RunResult run = run_exporter_meanwhile(root, c.command, args);

  // A forced run writing meanwhile may have its temporary named, depending
  // on when it started: that note is no failure of this run.
  std::string errors;
  std::istringstream lines(run.errors);
  for (std::string line; std::getline(lines, line);)
    if (line.find(": a temporary of ") == std::string::npos)
      errors += line + "\n";
  EXPECT_EQ(errors, c.error);
  EXPECT_EQ(run.status, c.error.empty() ? 0 : 1);
  EXPECT_EQ(run.output, c.error.empty() ? "out/m1.gwy\n" : "");
  const Bytes holds = read_file(root / "out/m1.gwy");
  switch (c.holds) {
  case Meanwhile::ThisExport: EXPECT_EQ(holds, read_file(root / "a/m1.gwy")); break;
  case Meanwhile::OtherRun: EXPECT_EQ(holds, read_file(root / "b/m1.gwy")); break;
  case Meanwhile::OtherProgram: EXPECT_EQ(holds, "x\n"); break;
  }
  for (const std::string &name : list_dir(root / "out"))
    EXPECT_FALSE(name.ends_with(".tmp")) << name << " left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PosixExportMeanwhile,
    ::testing::Combine(::testing::ValuesIn(MEANWHILE_CASES),
                       ::testing::Values(Disk::Scratch, Disk::Exfat)),
    [](const auto &info) {
      return std::get<0>(info.param).name +
             (std::get<1>(info.param) == Disk::Exfat ? "OnExfat" : "");
    });
// What a terminal shows of `command`, run by the shell in `dir` with its
// standard input, output and error on a pseudo-terminal (unless the command
// redirects them); killed after a minute.
std::string shown_on_terminal(const fs::path &dir, const std::string &command) {
  int terminal = -1, device = -1;
  if (::openpty(&terminal, &device, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return {};
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    for (int stream : {0, 1, 2})
      ::dup2(device, stream);
    ::close(terminal);
    ::close(device);
    if (::chdir(dir.c_str()) == 0)
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(device);
  std::string shown;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    pollfd ready{terminal, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "still running after a minute";
      ::kill(child, SIGKILL);
      break;
    }
    if (::poll(&ready, 1, 1000) <= 0)
      continue;
    char bytes[4096];
    const ssize_t got = ::read(terminal, bytes, sizeof bytes);
    if (got <= 0) // EIO once the last holder of the device has gone
      break;
    shown.append(bytes, static_cast<std::size_t>(got));
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  return shown;
}

// A long export on a terminal shows its progress on one line, erased before
// the file's name is printed; with standard error redirected, nothing of
// it. The meanwhile library makes the set last longer than the threshold.
TEST(PosixProgress, ShownOnATerminalOnly) {
  ScratchDir dir;
  const Bytes spectroscopy = counting_samples(3 * 6 + 3 * 12, 0x7000);
  write_set(dir.path(), "1", FAULT_RECORD, counting_samples(12, 0x8000),
            &spectroscopy);
  const char *sanitizer = std::getenv("ASAN_OPTIONS");
  const std::string slow =
      "env LD_PRELOAD=" PARVANE_MEANWHILE_SHIM " PARVANE_MEANWHILE='sleep 1.5' "
      "ASAN_OPTIONS=" + std::string(sanitizer ? sanitizer : "") +
      ":verify_asan_link_order=0 " PARVANE_EXPORT_BINARY " -f 1";

  const std::string shown = shown_on_terminal(dir.path(), slow);
  const std::string line = "\rparvane-export: m1.gwy: ";
  const std::size_t at = shown.find(line);
  ASSERT_NE(at, std::string::npos) << shown;
  EXPECT_NE(shown.find("% of ", at), std::string::npos) << shown;
  // Erased, the cursor back at the line's start, before the file's name.
  EXPECT_TRUE(shown.ends_with(" \rm1.gwy\r\n")) << shown;

  const std::string redirected =
      shown_on_terminal(dir.path(), slow + " 2>errors");
  EXPECT_EQ(redirected, "m1.gwy\r\n");
  EXPECT_EQ(read_file(dir / "errors"), "");
}

// A run asked to stop (Ctrl-C, a terminal that closes, kill) in the middle of
// the same batch, whose set 2 is made large enough to be caught mid-write.
// It ends by the signal itself, standard output as it stood, one line on
// standard error; set 1 stays converted, what the run had begun for set 2 is
// gone, and every other file (set 2's sb0 of an earlier run, which it had
// not yet opened, tmp.par when another run holds it) is as it was.

enum class Stage {
  Converting,     // writing m2_ori.sf0
  WaitingForLock, // set 1 waits for tmp.par, which another run holds
  Exporting,      // writing set 2's temporary
};

struct Interruption {
  int signal;
  Stage stage;
};

void PrintTo(const Interruption &row, std::ostream *out) {
  *out << ::strsignal(row.signal) << " while " << static_cast<int>(row.stage);
}

// 128 x 128 pixels and 2048 points each way: each spectroscopy output is
// 64 MiB (the GWY file 512 MiB), written for a good while after its first
// MiB. The sources are sparse files of zeros.
constexpr std::int32_t LARGE_SIDE = 128, LARGE_POINTS = 2048;
constexpr std::uintmax_t MID_WRITE_BYTES = std::uintmax_t{1} << 20;

void enlarge_set_two(const fs::path &dir) {
  write_file(dir / "tp2", RecordBuilder(402)
                              .shape(LARGE_SIDE, LARGE_SIDE, true, LARGE_POINTS,
                                     LARGE_POINTS)
                              .bytes());
  const std::uintmax_t pixels = std::uintmax_t{LARGE_SIDE} * LARGE_SIDE;
  fs::resize_file(dir / "tz2", 2 * 2 * pixels);
  fs::resize_file(dir / "ts2", 2 * 2 * pixels * LARGE_POINTS);
  write_file(dir / "m2_ori.sb0", "converted earlier");
}

// Polls until `ready` holds; false after the deadline of a run.
bool wait_until(const std::function<bool()> &ready) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(RUN_DEADLINE_SECONDS);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether a file of `dir` whose name ends in `suffix` holds more than
// MID_WRITE_BYTES.
bool writing(const fs::path &dir, const std::string &suffix) {
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(suffix) &&
        fs::file_size(entry.path(), error) > MID_WRITE_BYTES && !error)
      return true;
  }
  return false;
}

// Holds tmp.par's lock, as another conversion does, for as long as it lives.
// An open file description's own lock, which the test's other opens and
// closes of tmp.par (its snapshots) leave alone, unlike a process's.
class StagingHolder {
public:
  explicit StagingHolder(const fs::path &staging) {
    write_file(staging, "held by another conversion");
    descriptor_ = ::open(staging.c_str(), O_RDWR | O_CLOEXEC);
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = off_t{1} << 62;
    byte.l_len = 1;
    locked_ = descriptor_ >= 0 && ::fcntl(descriptor_, F_OFD_SETLK, &byte) == 0;
  }
  ~StagingHolder() { ::close(descriptor_); }
  StagingHolder(const StagingHolder &) = delete;
  StagingHolder &operator=(const StagingHolder &) = delete;
  bool locked() const { return locked_; }

private:
  int descriptor_ = -1;
  bool locked_ = false;
};

class PosixInterruption : public ::testing::TestWithParam<Interruption> {};

TEST_P(PosixInterruption, RemovesWhatTheSetHadBegunAndEndsByTheSignal) {
  const Interruption &row = GetParam();
  const bool export_run = row.stage == Stage::Exporting;
  ScratchDir reference;
  build_batch(reference.path());
  const RunResult clean =
      export_run ? run_exporter(reference.path(), {"1"})
                 : run_converter(reference.path(), {"1"});
  ASSERT_EQ(clean.status, 0) << clean.errors;
  const Snapshot converted = snapshot(reference.path());

  ScratchDir dir;
  build_batch(dir.path());
  enlarge_set_two(dir.path());
  std::optional<StagingHolder> holder;
  if (row.stage == Stage::WaitingForLock) {
    holder.emplace(dir / STAGING_FILE_NAME);
    ASSERT_TRUE(holder->locked());
  }
  age_entries(dir.path());
  const Snapshot before = snapshot(dir.path());
  DirectoryWatch watch;
  watch.watch(dir.path());

  const std::vector<std::string> args{"1", "2", "3"};
  std::vector<std::string> argv{export_run ? "parvane-export"
                                           : "parvane-convert"};
  argv.insert(argv.end(), args.begin(), args.end());
  StartedProgram program(dir.path(),
                         export_run ? PARVANE_EXPORT_BINARY : PARVANE_BINARY,
                         argv);
  const bool caught = wait_until([&] {
    switch (row.stage) {
    case Stage::Converting: return writing(dir.path(), "m2_ori.sf0");
    case Stage::WaitingForLock:
      return program.errors_so_far().find("waiting for another conversion") !=
             std::string::npos;
    case Stage::Exporting: return writing(dir.path(), ".tmp");
    }
    return false;
  });
  ASSERT_TRUE(caught) << "the run never got to the point of interruption";
  ::kill(program.pid(), row.signal);
  const RunResult run = program.wait();

  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, row.signal) << "status " << run.status;
  std::map<std::string, State> states;
  std::set<std::string> writable;
  std::string console, line;
  switch (row.stage) {
  case Stage::Converting: {
    const std::string done = "File number 1 Done!\n";
    console = clean.output.substr(0, clean.output.find(done) + done.size());
    line = "parvane-convert: 2: interrupted; the files this run had begun "
           "for the set were removed\n";
    for (Name name : {PAR, TF0, SF0, TB0, SB0})
      states[file_name("1", name)] = State::Complete;
    for (Name name : {TMP, PAR, TF0, TB0, SF0})
      states[file_name("2", name)] = State::Gone;
    writable = written_names("1");
    writable.merge(written_names("2"));
    // Not yet opened when the signal came: it keeps an earlier run's bytes.
    states.erase(file_name("2", SB0));
    writable.erase(file_name("2", SB0));
    break;
  }
  case Stage::WaitingForLock:
    console = clean.output.substr(0, clean.output.find("File number"));
    line = "parvane-convert: waiting for another conversion in this "
           "directory (tmp.par is locked)\n"
           "parvane-convert: 1: interrupted; the files this run had begun "
           "for the set were removed\n";
    // Opened to be locked, never written: the holder's file stays.
    writable.insert(STAGING_FILE_NAME);
    break;
  case Stage::Exporting:
    console = "m1.gwy\n";
    line = "parvane-export: m2.gwy: interrupted; the temporary this run had "
           "begun was removed\n";
    states["m1.gwy"] = State::Complete;
    writable.insert("m1.gwy");
    break;
  }
  EXPECT_EQ(run.output, console);
  EXPECT_EQ(run.errors, line);
  const std::set<std::string> changed = watch.changed_names();
  for (const std::string &name : changed)
    if (name.ends_with(".tmp"))
      writable.insert(name); // created and gone again: checked as absent
  expect_outcome(before, snapshot(dir.path()), changed, writable, states,
                 [&](const std::string &file, const Bytes &bytes, State) {
                   EXPECT_EQ(bytes, converted.at(file).bytes);
                 });
}

// Every signal that asks a run to stop, at every stage.
std::vector<Interruption> interruptions() {
  std::vector<Interruption> rows;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    for (const Stage stage :
         {Stage::Converting, Stage::WaitingForLock, Stage::Exporting})
      rows.push_back({signal, stage});
  return rows;
}

std::string interruption_name(const Interruption &row) {
  constexpr std::array STAGES{"Converting", "WaitingForLock", "Exporting"};
  const std::string signal = row.signal == SIGINT    ? "Int"
                             : row.signal == SIGTERM ? "Term"
                                                     : "Hup";
  return signal + STAGES[static_cast<std::size_t>(row.stage)];
}

INSTANTIATE_TEST_SUITE_P(Batch, PosixInterruption,
                         ::testing::ValuesIn(interruptions()),
                         [](const auto &info) {
                           return interruption_name(info.param);
                         });

} // namespace
} // namespace parvane::testing
