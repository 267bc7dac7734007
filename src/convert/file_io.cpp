#include "convert/file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace parvane {
namespace {

// Files the converter creates are ordinary writable files; the user's umask
// decides the final permissions.
constexpr mode_t CREATED_FILE_MODE = 0666;

// One kernel call never moves more than this, so that huge requests stay
// within what read(2) and write(2) accept on every kernel.
constexpr std::size_t MAX_IO_CHUNK = std::size_t{1} << 30;

// Never wait on a FIFO or a device when opening: a name that is a pipe must
// not hang an unattended batch. Regular files ignore the flag.
constexpr int NEVER_BLOCK = O_NONBLOCK | O_CLOEXEC;

bool is_pipe_or_socket(int descriptor) {
  struct stat status {};
  return ::fstat(descriptor, &status) != 0 || S_ISFIFO(status.st_mode) ||
         S_ISSOCK(status.st_mode);
}

std::optional<File> open_created(const std::string &name, int access) {
  int descriptor = ::open(name.c_str(), access | O_CREAT | O_TRUNC | NEVER_BLOCK,
                          CREATED_FILE_MODE);
  if (descriptor < 0)
    return std::nullopt;
  File file = File::adopt(descriptor);
  // Outputs and the staging file are written and read by position.
  if (is_pipe_or_socket(descriptor))
    return std::nullopt;
  return file;
}

} // namespace

File File::adopt(int descriptor) { return File(descriptor); }

std::optional<File> File::open_source(const std::string &name) {
  int descriptor = ::open(name.c_str(), O_RDONLY | NEVER_BLOCK);
  if (descriptor < 0)
    return std::nullopt;
  File file(descriptor);
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return std::nullopt;
  return file;
}

std::optional<File> File::create_output(const std::string &name) {
  return open_created(name, O_WRONLY);
}

std::optional<File> File::create_scratch(const std::string &name) {
  return open_created(name, O_RDWR);
}

File::File(File &&other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      append_position_(other.append_position_) {}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    close();
    descriptor_ = std::exchange(other.descriptor_, -1);
    append_position_ = other.append_position_;
  }
  return *this;
}

File::~File() { close(); }

std::int64_t File::size() const {
  struct stat status {};
  if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0)
    return 0;
  return static_cast<std::int64_t>(status.st_size);
}

std::size_t File::read_at(std::int64_t position,
                          std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (position >= 0 && descriptor_ >= 0 && done < buffer.size()) {
    std::size_t want = std::min(buffer.size() - done, MAX_IO_CHUNK);
    ssize_t got = ::pread(descriptor_, buffer.data() + done, want,
                          static_cast<off_t>(position));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
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
    if (descriptor_ < 0 || position < 0)
      return false;
    std::size_t want = std::min(bytes.size() - done, MAX_IO_CHUNK);
    ssize_t put = ::pwrite(descriptor_, bytes.data() + done, want,
                           static_cast<off_t>(position));
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    done += static_cast<std::size_t>(put);
    position += put;
  }
  return true;
}

bool File::has_room_for(std::int64_t bytes) const {
  struct statvfs space {};
  if (descriptor_ < 0 || ::fstatvfs(descriptor_, &space) != 0 ||
      space.f_frsize == 0)
    return true;
  // Whole blocks needed, compared in blocks so that nothing can overflow.
  const auto block = static_cast<std::uint64_t>(space.f_frsize);
  const auto needed = (static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)) +
                       block - 1) / block;
  return needed <= static_cast<std::uint64_t>(space.f_bavail);
}

void File::reserve(std::int64_t bytes) {
  if (descriptor_ >= 0 && bytes > 0)
    ::fallocate(descriptor_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
}

bool File::close() {
  if (descriptor_ < 0)
    return true;
  int descriptor = std::exchange(descriptor_, -1);
  return ::close(descriptor) == 0;
}

} // namespace parvane
