// A shared library for LD_PRELOAD that cuts one file short while a program
// reads it, as a sync tool or a user deleting the copy would: the first
// positional read of the file named by PARVANE_CUT_FILE (its last path
// component) that reaches beyond byte PARVANE_CUT_AT truncates the file to
// that many bytes, and then reads what is left. The program has planned
// from the file's size by then, so the read comes back short at a place the
// test chooses, with no race. With PARVANE_CUT_ERRNO set, every such read
// fails with that error number instead, as on a failing disk, and the file
// stays as it is.
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using PreadFunction = ssize_t (*)(int, void *, size_t, off_t);

std::atomic<bool> cut{false};

// The path `descriptor` was opened under, or "" when unknown.
std::string path_of(int descriptor) {
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length))
                    : std::string();
}

// The error number the read is to fail with, or 0 to read on.
int cut_when_reached(int descriptor, size_t count, off_t offset) {
  const char *name = std::getenv("PARVANE_CUT_FILE");
  const char *at = std::getenv("PARVANE_CUT_AT");
  const char *error = std::getenv("PARVANE_CUT_ERRNO");
  if (name == nullptr || at == nullptr || cut.load())
    return 0;
  const long long limit = std::atoll(at);
  if (static_cast<long long>(offset) + static_cast<long long>(count) <= limit)
    return 0;
  const std::string path = path_of(descriptor);
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path.substr(slash + 1) != name)
    return 0;
  if (error != nullptr)
    return std::atoi(error);
  if (!cut.exchange(true))
    (void)::truncate(path.c_str(), static_cast<off_t>(limit));
  return 0;
}

ssize_t forward(const char *symbol, int descriptor, void *buffer, size_t count,
                off_t offset) {
  if (const int error = cut_when_reached(descriptor, count, offset)) {
    errno = error;
    return -1;
  }
  const auto next = reinterpret_cast<PreadFunction>(::dlsym(RTLD_NEXT, symbol));
  return next(descriptor, buffer, count, offset);
}

} // namespace

extern "C" ssize_t pread(int descriptor, void *buffer, size_t count, off_t offset) {
  return forward("pread", descriptor, buffer, count, offset);
}

extern "C" ssize_t pread64(int descriptor, void *buffer, size_t count,
                           off_t offset) {
  return forward("pread64", descriptor, buffer, count, offset);
}
