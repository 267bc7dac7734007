#include "core/file_io.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "core/file_io_system.h"
#include "core/interruption.h"
#include "core/set_names.h"

namespace parvane {
namespace {

class FileRefusalCategory final : public std::error_category {
public:
  const char *name() const noexcept override { return "parvane-file"; }
  std::string message(int value) const override {
    switch (static_cast<FileRefusal>(value)) {
    case FileRefusal::NotRegularFile: return "not a regular file";
    case FileRefusal::Directory: return "a directory";
    case FileRefusal::SymbolicLink: return "a symbolic link; not followed";
    case FileRefusal::SecondName:
      return "has another name (a hard link); not used";
    case FileRefusal::NotPositional:
      return "a pipe or socket, which cannot be written by position";
    case FileRefusal::NoRoom:
      return "larger than the free space on its disk; nothing written";
    case FileRefusal::NothingWritten: return "the system wrote nothing";
    case FileRefusal::UnknownIdentity:
      return "the system cannot tell which file this is";
    case FileRefusal::DroppedTrailingCharacter:
      return "ends in a dot or a space, which Windows drops from names";
    case FileRefusal::InUse: return "is in use by another program";
    case FileRefusal::NameTaken: return "holds another file than before";
    case FileRefusal::Interrupted: return "interrupted";
    }
    return "refused";
  }
};

// What a handle of a given kind is refused as, where it is refused; a pipe
// is refused as an output for what an output needs.
std::error_code refusal_for(os::FileKind kind, os::OpenMode mode) {
  const bool output =
      mode == os::OpenMode::Output || mode == os::OpenMode::NewOutput;
  switch (kind) {
  case os::FileKind::Directory: return FileRefusal::Directory;
  case os::FileKind::SymbolicLink: return FileRefusal::SymbolicLink;
  case os::FileKind::Pipe:
    return output ? FileRefusal::NotPositional : FileRefusal::NotRegularFile;
  default: return FileRefusal::NotRegularFile;
  }
}

// Owns a handle until it becomes a File (or is refused).
class OpenHandle {
public:
  explicit OpenHandle(os::Handle handle) : handle_(handle) {}
  OpenHandle(OpenHandle &&other) noexcept : handle_(other.release()) {}
  OpenHandle &operator=(OpenHandle &&other) noexcept {
    reset();
    handle_ = other.release();
    return *this;
  }
  OpenHandle(const OpenHandle &) = delete;
  OpenHandle &operator=(const OpenHandle &) = delete;
  ~OpenHandle() { reset(); }
  void reset() {
    if (valid())
      os::close_file(release());
  }
  bool valid() const { return handle_ != os::NO_HANDLE; }
  os::Handle get() const { return handle_; }
  os::Handle release() { return std::exchange(handle_, os::NO_HANDLE); }

private:
  os::Handle handle_;
};

// Why opening `name` failed: a directory is called one on every system
// (Windows refuses to open one with "access denied", as it refuses a file
// for want of permission).
std::error_code open_failure(const std::string &name, std::error_code error) {
  if (os::entry_kind(name) == os::EntryKind::Directory)
    return FileRefusal::Directory;
  return error;
}

// Opens `name` and accepts it when its kind is one of `accepted`.
template <std::size_t N>
OpenHandle open_kind(const std::string &name, os::OpenMode mode,
                     const std::array<os::FileKind, N> &accepted,
                     std::error_code &error) {
  OpenHandle handle(os::open_file(name, mode, false, error));
  if (!handle.valid()) {
    error = open_failure(name, error);
    return handle;
  }
  const std::optional<os::FileKind> kind = os::kind_of(handle.get(), error);
  if (!kind)
    return OpenHandle(os::NO_HANDLE);
  if (std::find(accepted.begin(), accepted.end(), *kind) == accepted.end()) {
    error = refusal_for(*kind, mode);
    return OpenHandle(os::NO_HANDLE);
  }
  error.clear();
  return handle;
}

// How many names a temporary file tries before giving up: only temporaries
// that killed runs of the same process number left behind collide.
constexpr int TEMPORARY_NAME_TRIES = 100;

// How long a conversion that waits for the staging lock sleeps between two
// tries: short enough that it takes the lock soon after it is let go and
// notices a request to stop at once, long enough to cost nothing meanwhile.
constexpr std::chrono::milliseconds LOCK_RETRY_PAUSE{20};

// An output's kinds: outputs are written by position, which a disk file or
// a device takes and a pipe does not.
constexpr std::array OUTPUT_KINDS{os::FileKind::Regular, os::FileKind::Device};

} // namespace

const std::error_category &file_refusal_category() {
  static const FileRefusalCategory category;
  return category;
}

std::error_code make_error_code(FileRefusal refusal) {
  return {static_cast<int>(refusal), file_refusal_category()};
}

std::error_code system_error_code(int value) {
  return {value, std::system_category()};
}

std::string describe(const std::error_code &error) {
  if (error.category() != std::system_category())
    return error.message();
  std::string text = os::system_message(error.value());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                           text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

bool names_no_source(const std::string &name,
                     const std::error_code &open_error) {
  if (open_error == FileRefusal::Directory ||
      open_error == FileRefusal::NotRegularFile ||
      open_error == FileRefusal::NotPositional)
    return true;
  return os::entry_kind(name) != os::EntryKind::Other;
}

std::optional<File> File::open_source(const std::string &name,
                                      std::error_code &error) {
  OpenHandle handle =
      open_kind(name, os::OpenMode::Source,
                std::array{os::FileKind::Regular}, error);
  if (!handle.valid())
    return std::nullopt;
  return File(handle.release());
}

std::optional<File> File::open_output(const std::string &name,
                                      std::error_code &error) {
  OpenHandle handle = open_kind(name, os::OpenMode::Output, OUTPUT_KINDS, error);
  if (!handle.valid())
    return std::nullopt;
  return File(handle.release());
}

std::optional<File> File::replace_output(const std::string &name,
                                         std::error_code &error) {
  error = os::delete_name(name);
  if (error && !os::is_missing_entry(error))
    return std::nullopt;
  OpenHandle handle =
      open_kind(name, os::OpenMode::NewOutput, OUTPUT_KINDS, error);
  if (!handle.valid())
    return std::nullopt;
  return File(handle.release());
}

std::optional<File> File::create_temporary(const std::string &final_name,
                                           std::string &temporary_name,
                                           std::error_code &error) {
  for (int attempt = 0; attempt < TEMPORARY_NAME_TRIES; ++attempt) {
    temporary_name = temporary_name_for(final_name, os::process_id(), attempt);
    // Created in the one open that hands it over, so that no other file can
    // take its name in between.
    OpenHandle handle(os::open_file(temporary_name, os::OpenMode::NewOutput,
                                    false, error));
    if (handle.valid()) {
      error.clear();
      return File(handle.release());
    }
    if (!os::is_existing_entry(error)) {
      error = open_failure(temporary_name, error);
      break;
    }
  }
  return std::nullopt;
}

std::optional<File> File::open_staging(const std::string &name,
                                       std::error_code &error,
                                       const std::function<void()> &about_to_wait) {
  bool after_deletion = false;
  bool waited = false;
  for (;;) {
    // Opened without creating first, so that a staging file this run
    // created is known as such and can be deleted again should the lock
    // fail: a refused lock leaves nothing behind.
    bool created = false;
    OpenHandle handle(
        os::open_file(name, os::OpenMode::Staging, after_deletion, error));
    if (!handle.valid() && os::is_missing_entry(error)) {
      handle = OpenHandle(
          os::open_file(name, os::OpenMode::NewStaging, after_deletion, error));
      created = handle.valid();
      if (!handle.valid() && os::is_existing_entry(error))
        continue; // another run created it in between: open that one
    }
    if (!handle.valid()) {
      error = open_failure(name, error);
      return std::nullopt;
    }
    const std::optional<os::FileKind> kind = os::kind_of(handle.get(), error);
    if (!kind)
      return std::nullopt;
    if (*kind != os::FileKind::Regular) {
      error = refusal_for(*kind, os::OpenMode::Staging);
      return std::nullopt;
    }
    os::LockResult lock = os::lock_staging(handle.get(), error);
    while (lock == os::LockResult::Busy) {
      // The file is the holder's now, even one this call created: it
      // stays.
      if (interruption_requested()) {
        error = FileRefusal::Interrupted;
        return std::nullopt;
      }
      if (!waited && about_to_wait)
        about_to_wait();
      waited = true;
      std::this_thread::sleep_for(LOCK_RETRY_PAUSE);
      lock = os::lock_staging(handle.get(), error);
    }
    if (lock != os::LockResult::Locked) {
      if (created)
        os::delete_open(name, handle.get());
      return std::nullopt;
    }
    if (os::name_leads_to(name, handle.get())) {
      // A second name could lead anywhere, even to a source of this set.
      if (os::link_count(handle.get()) > 1) {
        error = FileRefusal::SecondName;
        return std::nullopt;
      }
      error.clear();
      return File(handle.release());
    }
    // The conversion that held the lock has deleted (or replaced) the file
    // in the meantime: lock whatever the name leads to now.
    after_deletion = true;
  }
}

std::optional<File> File::open_source(const std::string &name) {
  std::error_code ignored;
  return open_source(name, ignored);
}

std::optional<File> File::open_output(const std::string &name) {
  std::error_code ignored;
  return open_output(name, ignored);
}

std::optional<File> File::open_staging(const std::string &name) {
  std::error_code ignored;
  return open_staging(name, ignored);
}

File::File(File &&other) noexcept
    : handle_(std::exchange(other.handle_, CLOSED)),
      append_position_(other.append_position_),
      failure_(other.failure_.load()) {}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, CLOSED);
    append_position_ = other.append_position_;
    failure_ = other.failure_.load();
  }
  return *this;
}

File::~File() { close(); }

void File::fail(std::error_code error) const {
  const int value = error.category() == file_refusal_category()
                        ? -error.value()
                        : error.value();
  int none = 0;
  failure_.compare_exchange_strong(none, value);
}

std::error_code File::failure() const {
  const int value = failure_.load();
  if (value < 0)
    return make_error_code(static_cast<FileRefusal>(-value));
  if (value > 0)
    return system_error_code(value);
  return {};
}

std::optional<FileIdentity> File::identity() const {
  if (handle_ == CLOSED)
    return std::nullopt;
  return os::identity_of(handle_);
}

bool File::has_other_names(const std::string &name) const {
  std::error_code ignored;
  return handle_ != CLOSED && os::link_count(handle_) > 1 &&
         os::kind_of(handle_, ignored) == os::FileKind::Regular &&
         os::name_leads_to(name, handle_);
}

bool File::truncate() {
  if (handle_ == CLOSED)
    return false;
  append_position_ = 0;
  std::error_code error;
  const std::optional<os::FileKind> kind = os::kind_of(handle_, error);
  // A device has nothing to cut.
  if (kind == os::FileKind::Device)
    return true;
  if (!error)
    error = os::truncate_file(handle_);
  if (!error)
    return true;
  fail(error);
  return false;
}

std::int64_t File::size() const {
  return handle_ == CLOSED ? 0 : os::size_of(handle_);
}

std::optional<std::int64_t> File::modified_at() const {
  if (handle_ == CLOSED)
    return std::nullopt;
  return os::modified_at(handle_);
}

bool File::set_modified_at(std::int64_t time) {
  return handle_ != CLOSED && os::set_modified_at(handle_, time);
}

std::optional<std::size_t> File::read_at(std::int64_t position,
                                         std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (position >= 0 && handle_ != CLOSED && done < buffer.size()) {
    if (interruption_requested()) {
      fail(FileRefusal::Interrupted);
      return std::nullopt;
    }
    const std::size_t want =
        std::min(buffer.size() - done, os::largest_transfer());
    std::error_code error;
    const std::int64_t got =
        os::read_some(handle_, position, buffer.subspan(done, want), error);
    if (got < 0 && os::is_interruption(error))
      continue;
    if (got < 0) {
      fail(error);
      return std::nullopt;
    }
    if (got == 0)
      break;
    done += static_cast<std::size_t>(got);
    position += got;
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(done), buffer.end(), 0);
  return done;
}

bool File::append(std::span<const std::uint8_t> bytes) {
  if (!write_at(append_position_, bytes))
    return false;
  append_position_ += static_cast<std::int64_t>(bytes.size());
  return true;
}

bool File::write_at(std::int64_t position,
                    std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (handle_ == CLOSED || position < 0) {
      fail(FileRefusal::NothingWritten);
      return false;
    }
    if (interruption_requested()) {
      fail(FileRefusal::Interrupted);
      return false;
    }
    const std::size_t want =
        std::min(bytes.size() - done, os::largest_transfer());
    std::error_code error;
    const std::int64_t put =
        os::write_some(handle_, position, bytes.subspan(done, want), error);
    if (put < 0 && os::is_interruption(error))
      continue;
    if (put <= 0) {
      fail(put < 0 ? error : make_error_code(FileRefusal::NothingWritten));
      return false;
    }
    done += static_cast<std::size_t>(put);
    position += put;
  }
  return true;
}

bool File::has_room_for(std::int64_t bytes) const {
  if (handle_ == CLOSED)
    return true;
  const std::optional<std::uint64_t> free = os::free_space(handle_);
  if (!free || static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)) <=
                   *free)
    return true;
  fail(FileRefusal::NoRoom);
  return false;
}

void File::reserve(std::int64_t bytes) {
  if (handle_ != CLOSED && bytes > 0)
    os::reserve_space(handle_, bytes);
}

void File::prefetch(std::int64_t offset, std::int64_t length) const {
  if (handle_ != CLOSED && offset >= 0 && length > 0)
    os::prefetch(handle_, offset, length);
}

std::error_code File::remove(const std::string &name) {
  const std::error_code error =
      handle_ == CLOSED ? os::delete_name(name) : os::delete_open(name, handle_);
  if (!error || os::is_missing_entry(error))
    return {};
  fail(error);
  return error;
}

bool File::close() {
  if (handle_ == CLOSED)
    return true;
  const std::error_code error = os::close_file(std::exchange(handle_, CLOSED));
  if (!error)
    return true;
  fail(error);
  return false;
}

PathKind path_kind(const std::string &name, std::error_code &error) {
  error.clear();
  switch (os::entry_kind(name)) {
  case os::EntryKind::Directory: return PathKind::Directory;
  case os::EntryKind::Other: return PathKind::Other;
  case os::EntryKind::None: break;
  }
  // Why there is nothing, in the words an open of the name gets: no such
  // file, a part of the path that is no directory, a name the system
  // cannot take.
  OpenHandle handle(os::open_file(name, os::OpenMode::Source, false, error));
  if (!handle.valid())
    return PathKind::Missing;
  error.clear();
  return PathKind::Other; // created in the meantime
}

std::optional<FileIdentity> entry_identity(const std::string &name,
                                           std::error_code &error) {
  error.clear();
  std::optional<FileIdentity> identity = os::entry_identity(name, error);
  if (!identity && os::is_missing_entry(error))
    error.clear();
  return identity;
}

std::error_code rename_file(const std::string &from, const std::string &to,
                            const std::optional<FileIdentity> &replaced) {
  if (!replaced)
    return os::rename_name(from, to, false);
  std::error_code error;
  const std::optional<FileIdentity> now = entry_identity(to, error);
  if (error)
    return error;
  if (!now)
    return os::rename_name(from, to, false);
  if (*now != *replaced)
    return FileRefusal::NameTaken;
  return os::rename_name(from, to, true);
}

bool names_existing_file(const std::error_code &error) {
  return error == FileRefusal::NameTaken || os::is_existing_entry(error);
}

std::error_code remove_written(const std::string &name,
                               const FileIdentity &written) {
  std::error_code error;
  // Opened to read whatever it is (a link to a device included), only to
  // tell which file the name leads to now.
  OpenHandle handle(os::open_file(name, os::OpenMode::Source, false, error));
  if (!handle.valid())
    return os::is_missing_entry(error) ? std::error_code() : error;
  const bool same = os::identity_of(handle.get()) == written;
  handle.reset();
  if (!same)
    return {};
  error = os::delete_name(name);
  return os::is_missing_entry(error) ? std::error_code() : error;
}

std::error_code list_directory(const std::string &directory,
                               std::vector<std::string> &names) {
  const std::error_code error = os::list_names(directory, names);
  std::erase_if(names, [](const std::string &name) {
    return name == "." || name == "..";
  });
  return error;
}

} // namespace parvane
