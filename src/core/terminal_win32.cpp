#include "core/terminal.h"

#include "core/windows_api.h"

namespace parvane {
namespace {

bool is_console(DWORD which) {
  const HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetFileType(handle) == FILE_TYPE_CHAR &&
         ::GetConsoleMode(handle, &mode) != 0;
}

// A console device opened by name, closed when the scope ends.
class ConsoleDevice {
public:
  explicit ConsoleDevice(const wchar_t *name)
      : handle_(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr)) {}
  ConsoleDevice(const ConsoleDevice &) = delete;
  ConsoleDevice &operator=(const ConsoleDevice &) = delete;
  ~ConsoleDevice() {
    if (usable())
      ::CloseHandle(handle_);
  }
  bool usable() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

} // namespace

bool standard_error_is_terminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

ConsoleStart console_start() {
  DWORD processes[2] = {};
  const DWORD count = ::GetConsoleProcessList(processes, 2);
  // Wine's own library exports its version; Windows' does not.
  const HMODULE system_library = ::GetModuleHandleW(L"ntdll.dll");
  const bool wine = system_library != nullptr &&
                    ::GetProcAddress(system_library, "wine_get_version") != nullptr;
  return {count == 1, is_console(STD_INPUT_HANDLE),
          is_console(STD_OUTPUT_HANDLE), wine};
}

void wait_for_key() {
  const ConsoleDevice output(L"CONOUT$");
  const ConsoleDevice input(L"CONIN$");
  if (!output.usable() || !input.usable())
    return;
  static constexpr wchar_t PROMPT[] = L"\r\nPress any key to close this window";
  DWORD written = 0;
  ::WriteConsoleW(output.get(), PROMPT, DWORD{sizeof PROMPT / sizeof *PROMPT - 1},
                  &written, nullptr);
  // Keys pressed while the program ran do not count.
  ::FlushConsoleInputBuffer(input.get());
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (::ReadConsoleInputW(input.get(), &record, 1, &read) == 0 || read == 0)
      return;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
      return;
  }
}

} // namespace parvane
