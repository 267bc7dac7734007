// Another program acting while parvane-export runs, at a known moment: loaded
// into the export with LD_PRELOAD, this library runs the shell command in
// PARVANE_MEANWHILE once, right after the export has created its first
// temporary file (a name ending in ".tmp"). By then the export has checked
// its output's name; it has not yet put the file there. The command runs
// without the variable, so that an export it starts is not held up itself.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using OpenFunction = int (*)(const char *, int, ...);

void after_open(const char *name, int flags, int descriptor) {
  const std::size_t length = std::strlen(name);
  if (descriptor < 0 || (flags & O_CREAT) == 0 || length < 4 ||
      std::strcmp(name + length - 4, ".tmp") != 0)
    return;
  const char *command = std::getenv("PARVANE_MEANWHILE");
  if (command == nullptr)
    return;
  const std::string copy(command);
  ::unsetenv("PARVANE_MEANWHILE");
  if (std::system(copy.c_str()) != 0)
    std::abort(); // a test whose other program fails tests nothing
}

int open_and_act(const char *symbol, const char *name, int flags,
                 std::va_list arguments) {
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
  const auto real = reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, symbol));
  const int descriptor = real(name, flags, mode);
  after_open(name, flags, descriptor);
  return descriptor;
}

} // namespace

extern "C" int open(const char *name, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const int descriptor = open_and_act("open", name, flags, arguments);
  va_end(arguments);
  return descriptor;
}

extern "C" int open64(const char *name, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const int descriptor = open_and_act("open64", name, flags, arguments);
  va_end(arguments);
  return descriptor;
}
