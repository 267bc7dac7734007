// The file layer on POSIX systems. Linux-only calls are guarded, so that
// other Unix systems build it with the portable calls alone.
#include "convert/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
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

int descriptor_of(std::intptr_t handle) { return static_cast<int>(handle); }

std::optional<struct stat> status_of(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0)
    return std::nullopt;
  return status;
}

bool is_pipe_or_socket(int descriptor) {
  std::optional<struct stat> status = status_of(descriptor);
  return !status || S_ISFIFO(status->st_mode) || S_ISSOCK(status->st_mode);
}

bool is_regular_file(int descriptor) {
  std::optional<struct stat> status = status_of(descriptor);
  return status && S_ISREG(status->st_mode);
}

// Waits until this process holds the only write lock on the whole file.
bool lock_exclusively(int descriptor) {
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  while (::fcntl(descriptor, F_SETLKW, &whole_file) != 0)
    if (errno != EINTR)
      return false;
  return true;
}

// Whether `name` (not followed through a link) is the open file.
bool name_leads_to(const std::string &name, int descriptor) {
  struct stat named {};
  std::optional<struct stat> open = status_of(descriptor);
  return open && ::lstat(name.c_str(), &named) == 0 &&
         named.st_dev == open->st_dev && named.st_ino == open->st_ino;
}

} // namespace

std::optional<File> File::open_source(const std::string &name) {
  int descriptor = ::open(name.c_str(), O_RDONLY | NEVER_BLOCK);
  if (descriptor < 0)
    return std::nullopt;
  File file(descriptor);
  if (!is_regular_file(descriptor))
    return std::nullopt;
  return file;
}

std::optional<File> File::open_output(const std::string &name) {
  int descriptor =
      ::open(name.c_str(), O_WRONLY | O_CREAT | NEVER_BLOCK, CREATED_FILE_MODE);
  if (descriptor < 0)
    return std::nullopt;
  File file(descriptor);
  // Outputs are written by position.
  if (is_pipe_or_socket(descriptor))
    return std::nullopt;
  return file;
}

std::optional<File> File::open_staging(const std::string &name) {
  for (;;) {
    int descriptor = ::open(name.c_str(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | NEVER_BLOCK,
                            CREATED_FILE_MODE);
    if (descriptor < 0)
      return std::nullopt;
    File file(descriptor);
    if (!is_regular_file(descriptor) || !lock_exclusively(descriptor))
      return std::nullopt;
    if (name_leads_to(name, descriptor))
      return file;
    // The conversion that held the lock has deleted (or replaced) the file
    // in the meantime: lock whatever the name leads to now.
  }
}

std::optional<FileIdentity> File::identity() const {
  std::optional<struct stat> status = status_of(descriptor_of(handle_));
  if (handle_ == CLOSED || !status)
    return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status->st_dev),
                      static_cast<std::uint64_t>(status->st_ino)};
}

bool File::truncate() {
  if (handle_ == CLOSED)
    return false;
  append_position_ = 0;
  const int descriptor = descriptor_of(handle_);
  return !is_regular_file(descriptor) || ::ftruncate(descriptor, 0) == 0;
}

std::int64_t File::size() const {
  std::optional<struct stat> status = status_of(descriptor_of(handle_));
  if (handle_ == CLOSED || !status)
    return 0;
  return static_cast<std::int64_t>(status->st_size);
}

std::optional<std::size_t> File::read_at(std::int64_t position,
                                         std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (position >= 0 && handle_ != CLOSED && done < buffer.size()) {
    std::size_t want = std::min(buffer.size() - done, MAX_IO_CHUNK);
    ssize_t got = ::pread(descriptor_of(handle_), buffer.data() + done, want,
                          static_cast<off_t>(position));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return std::nullopt;
    if (got == 0)
      break;
    done += static_cast<std::size_t>(got);
    position += got;
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(done), buffer.end(), 0);
  return done;
}

bool File::write_at(std::int64_t position,
                    std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (handle_ == CLOSED || position < 0)
      return false;
    std::size_t want = std::min(bytes.size() - done, MAX_IO_CHUNK);
    ssize_t put = ::pwrite(descriptor_of(handle_), bytes.data() + done, want,
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
  if (handle_ == CLOSED || ::fstatvfs(descriptor_of(handle_), &space) != 0 ||
      space.f_frsize == 0)
    return true;
  // Whole blocks needed, compared in blocks so that nothing can overflow.
  const auto block = static_cast<std::uint64_t>(space.f_frsize);
  const auto needed = (static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)) +
                       block - 1) / block;
  return needed <= static_cast<std::uint64_t>(space.f_bavail);
}

void File::reserve([[maybe_unused]] std::int64_t bytes) {
#if defined(__linux__)
  // Keeping the size matters: a plane that fails half-way must show as
  // incomplete, not as full of zeros.
  if (handle_ != CLOSED && bytes > 0)
    ::fallocate(descriptor_of(handle_), FALLOC_FL_KEEP_SIZE, 0,
                static_cast<off_t>(bytes));
#endif
}

bool File::remove(const std::string &name) {
  return ::unlink(name.c_str()) == 0 || errno == ENOENT;
}

bool File::close() {
  if (handle_ == CLOSED)
    return true;
  return ::close(descriptor_of(std::exchange(handle_, CLOSED))) == 0;
}

PageBuffer::PageBuffer(std::size_t bytes) : bytes_(bytes) {
  void *pages = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages != MAP_FAILED)
    pages_ = pages;
}

PageBuffer::~PageBuffer() {
  if (pages_ != nullptr)
    ::munmap(pages_, bytes_);
}

bool is_directory_separator(char c) { return c == '/'; }

void guard_standard_streams() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF)
      continue;
    // Read-only, so that console writes to a closed stream still fail.
    int placeholder = ::open("/dev/null", O_RDONLY);
    if (placeholder >= 0 && placeholder != stream) {
      ::dup2(placeholder, stream);
      ::close(placeholder);
    }
  }
}

std::vector<std::string> command_line_arguments(int argc, char **argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i)
    arguments.emplace_back(argv[i]);
  return arguments;
}

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

// How often a name for a temporary file is tried before giving up: only
// temporaries left by killed runs of the same process number collide.
constexpr int TEMPORARY_NAME_TRIES = 100;

} // namespace

PathKind path_kind(const std::string &name, std::error_code &error) {
  error.clear();
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) {
    error = last_error();
    return PathKind::Missing;
  }
  if (S_ISREG(status.st_mode))
    return PathKind::RegularFile;
  return S_ISDIR(status.st_mode) ? PathKind::Directory : PathKind::Other;
}

std::error_code open_for_reading_error(const std::string &name) {
  const int descriptor = ::open(name.c_str(), O_RDONLY | NEVER_BLOCK);
  if (descriptor < 0)
    return last_error();
  ::close(descriptor);
  return {};
}

std::optional<File> create_temporary_file(const std::string &final_name,
                                          std::string &temporary_name,
                                          std::error_code &error) {
  const std::string stem =
      final_name + "." + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < TEMPORARY_NAME_TRIES; ++attempt) {
    temporary_name = stem + std::to_string(attempt) + ".tmp";
    const int created =
        ::open(temporary_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
               CREATED_FILE_MODE);
    if (created < 0) {
      error = last_error();
      if (errno == EEXIST)
        continue;
      break;
    }
    // The file is handed over as an output opened by name; while the
    // descriptor that created it stays open, the identity proves that the
    // name still leads to it.
    std::optional<File> file = File::open_output(temporary_name);
    std::optional<struct stat> status = status_of(created);
    std::optional<FileIdentity> opened = file ? file->identity() : std::nullopt;
    if (opened && status &&
        *opened == FileIdentity{static_cast<std::uint64_t>(status->st_dev),
                                static_cast<std::uint64_t>(status->st_ino)}) {
      ::close(created);
      error.clear();
      return file;
    }
    // Ours is deleted only while the name still leads to it: a file that
    // somebody put in its place is not ours to delete.
    if (name_leads_to(temporary_name, created))
      ::unlink(temporary_name.c_str());
    ::close(created);
    error = std::make_error_code(std::errc::device_or_resource_busy);
    break;
  }
  temporary_name.clear();
  return std::nullopt;
}

std::error_code rename_file(const std::string &from, const std::string &to,
                            bool replace) {
  if (replace)
    return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code()
                                                   : last_error();
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                  RENAME_NOREPLACE) == 0)
    return {};
  // Only a file system that cannot refuse to replace goes on to the link.
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
    return last_error();
#endif
  // A second name refuses an existing one as renaming cannot; the first
  // then goes. Should that fail, both names hold the complete file.
  if (::link(from.c_str(), to.c_str()) != 0)
    return last_error();
  ::unlink(from.c_str());
  return {};
}

std::error_code remove_file(const std::string &name) {
  return ::unlink(name.c_str()) == 0 ? std::error_code() : last_error();
}

std::error_code list_directory(const std::string &directory,
                               std::vector<std::string> &names) {
  DIR *stream = ::opendir(directory.c_str());
  if (stream == nullptr)
    return last_error();
  std::error_code error;
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0)
        error = last_error();
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  ::closedir(stream);
  return error;
}

} // namespace parvane
