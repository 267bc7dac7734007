// The file layer on POSIX systems. Linux-only calls are guarded, so that
// other Unix systems build it with the portable calls alone.
#include "core/file_io.h"
#include "core/file_io_system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace parvane::os {
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

// The lock's offset must be a file offset here, as it is on Windows.
static_assert(sizeof(off_t) >= 8, "the staging lock needs 64-bit file offsets");

int descriptor_of(Handle handle) { return static_cast<int>(handle); }

std::error_code last_error() { return system_error_code(errno); }

std::optional<struct stat> status_of(Handle handle) {
  struct stat status {};
  if (handle == NO_HANDLE || ::fstat(descriptor_of(handle), &status) != 0)
    return std::nullopt;
  return status;
}

int flags_of(OpenMode mode) {
  switch (mode) {
  case OpenMode::Source: return O_RDONLY;
  case OpenMode::Output: return O_WRONLY | O_CREAT;
  case OpenMode::NewOutput: return O_WRONLY | O_CREAT | O_EXCL;
  case OpenMode::Staging: return O_RDWR | O_NOFOLLOW;
  case OpenMode::NewStaging: return O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
  }
  return O_RDONLY;
}

} // namespace

Handle open_file(const std::string &name, OpenMode mode,
                 [[maybe_unused]] bool after_deletion, std::error_code &error) {
  const int descriptor =
      ::open(name.c_str(), flags_of(mode) | NEVER_BLOCK, CREATED_FILE_MODE);
  if (descriptor >= 0)
    return descriptor;
  // O_NOFOLLOW refuses a symbolic link with ELOOP: say what it is.
  error = errno == ELOOP && (mode == OpenMode::Staging ||
                             mode == OpenMode::NewStaging)
              ? make_error_code(FileRefusal::SymbolicLink)
              : last_error();
  return NO_HANDLE;
}

std::error_code close_file(Handle handle) {
  return ::close(descriptor_of(handle)) == 0 ? std::error_code() : last_error();
}

std::optional<FileKind> kind_of(Handle handle, std::error_code &error) {
  std::optional<struct stat> status = status_of(handle);
  if (!status) {
    error = last_error();
    return std::nullopt;
  }
  const mode_t mode = status->st_mode;
  if (S_ISREG(mode))
    return FileKind::Regular;
  if (S_ISDIR(mode))
    return FileKind::Directory;
  if (S_ISLNK(mode))
    return FileKind::SymbolicLink;
  if (S_ISFIFO(mode) || S_ISSOCK(mode))
    return FileKind::Pipe;
  return FileKind::Device;
}

EntryKind entry_kind(const std::string &name) {
  struct stat entry {};
  if (::lstat(name.c_str(), &entry) != 0)
    return errno == ENOENT || errno == ENOTDIR ? EntryKind::None
                                               : EntryKind::Other;
  struct stat target {};
  if (S_ISDIR(entry.st_mode) ||
      (S_ISLNK(entry.st_mode) && ::stat(name.c_str(), &target) == 0 &&
       S_ISDIR(target.st_mode)))
    return EntryKind::Directory;
  return EntryKind::Other;
}

std::optional<FileIdentity> identity_of(Handle handle) {
  std::optional<struct stat> status = status_of(handle);
  if (!status)
    return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status->st_dev),
                      static_cast<std::uint64_t>(status->st_ino)};
}

std::uint64_t link_count(Handle handle) {
  std::optional<struct stat> status = status_of(handle);
  return status ? static_cast<std::uint64_t>(status->st_nlink) : 0;
}

std::optional<FileIdentity> entry_identity(const std::string &name,
                                           std::error_code &error) {
  struct stat entry {};
  if (::lstat(name.c_str(), &entry) != 0) {
    error = last_error();
    return std::nullopt;
  }
  return FileIdentity{static_cast<std::uint64_t>(entry.st_dev),
                      static_cast<std::uint64_t>(entry.st_ino)};
}

bool name_leads_to(const std::string &name, Handle handle) {
  std::error_code ignored;
  const std::optional<FileIdentity> named = entry_identity(name, ignored);
  return named && named == identity_of(handle);
}

std::int64_t read_some(Handle handle, std::int64_t position,
                       std::span<std::uint8_t> bytes, std::error_code &error) {
  const ssize_t got = ::pread(descriptor_of(handle), bytes.data(), bytes.size(),
                              static_cast<off_t>(position));
  if (got < 0)
    error = last_error();
  return got;
}

std::int64_t write_some(Handle handle, std::int64_t position,
                        std::span<const std::uint8_t> bytes,
                        std::error_code &error) {
  const ssize_t put = ::pwrite(descriptor_of(handle), bytes.data(),
                               bytes.size(), static_cast<off_t>(position));
  if (put < 0)
    error = last_error();
  return put;
}

std::size_t largest_transfer() { return MAX_IO_CHUNK; }

std::error_code truncate_file(Handle handle) {
  return ::ftruncate(descriptor_of(handle), 0) == 0 ? std::error_code()
                                                    : last_error();
}

std::int64_t size_of(Handle handle) {
  std::optional<struct stat> status = status_of(handle);
  return status ? static_cast<std::int64_t>(status->st_size) : 0;
}

std::optional<std::int64_t> modified_at(Handle handle) {
  std::optional<struct stat> status = status_of(handle);
  if (!status)
    return std::nullopt;
  return std::int64_t{status->st_mtim.tv_sec} * 1'000'000'000 +
         status->st_mtim.tv_nsec;
}

bool set_modified_at(Handle handle, std::int64_t time) {
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {static_cast<time_t>(time / 1'000'000'000),
       static_cast<long>(time % 1'000'000'000)}};
  return ::futimens(descriptor_of(handle), times) == 0;
}

std::optional<std::uint64_t> free_space(Handle handle) {
  struct statvfs space {};
  if (::fstatvfs(descriptor_of(handle), &space) != 0 || space.f_frsize == 0)
    return std::nullopt;
  const auto block = static_cast<std::uint64_t>(space.f_frsize);
  const auto blocks = static_cast<std::uint64_t>(space.f_bavail);
  // Saturating: a huge file system must not wrap round to little room.
  if (blocks > UINT64_MAX / block)
    return UINT64_MAX;
  return blocks * block;
}

void reserve_space([[maybe_unused]] Handle handle,
                   [[maybe_unused]] std::int64_t bytes) {
#if defined(__linux__)
  // Keeping the size matters: a plane that fails half-way must show as
  // incomplete, not as full of zeros.
  ::fallocate(descriptor_of(handle), FALLOC_FL_KEEP_SIZE, 0,
              static_cast<off_t>(bytes));
#endif
}

void prefetch(Handle handle, std::int64_t offset, std::int64_t length) {
  ::posix_fadvise(descriptor_of(handle), static_cast<off_t>(offset),
                  static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

LockResult lock_staging(Handle handle, std::error_code &error) {
  struct flock byte {};
  byte.l_type = F_WRLCK;
  byte.l_whence = SEEK_SET;
  byte.l_start = static_cast<off_t>(STAGING_LOCK_OFFSET);
  byte.l_len = 1;
  for (;;) {
    if (::fcntl(descriptor_of(handle), F_SETLK, &byte) == 0)
      return LockResult::Locked;
    if (errno == EINTR)
      continue;
    if (errno == EACCES || errno == EAGAIN)
      return LockResult::Busy;
    error = last_error();
    return LockResult::Failed;
  }
}

std::error_code delete_open(const std::string &name,
                            [[maybe_unused]] Handle handle) {
  return delete_name(name);
}

std::error_code delete_name(const std::string &name) {
  return ::unlink(name.c_str()) == 0 ? std::error_code() : last_error();
}

std::error_code rename_name(const std::string &from, const std::string &to,
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
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return {};
  }
  // exFAT and FAT through FUSE, and FUSE mounts without links, offer
  // neither: a plain rename onto a name found free an instant before is
  // the closest there is (a file created in that instant is replaced).
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
    return last_error();
  std::error_code error;
  if (entry_identity(to, error))
    return system_error_code(EEXIST);
  if (error != system_error_code(ENOENT))
    return error;
  return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code()
                                                 : last_error();
}

std::error_code list_names(const std::string &directory,
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
    names.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  return error;
}

std::uint64_t process_id() { return static_cast<std::uint64_t>(::getpid()); }

bool is_missing_entry(const std::error_code &error) {
  return error == std::errc::no_such_file_or_directory;
}

bool is_existing_entry(const std::error_code &error) {
  return error == std::errc::file_exists;
}

bool is_interruption(const std::error_code &error) {
  return error == std::errc::interrupted;
}

std::string system_message(int value) {
  return std::system_category().message(value);
}

} // namespace parvane::os

namespace parvane {

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
  // A reader that closed its end of a pipe (`parvane-convert | head -3`)
  // makes the write fail with EPIPE, which the console check then reports,
  // instead of ending the run with a signal in the middle of a set.
  ::signal(SIGPIPE, SIG_IGN);
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

} // namespace parvane
