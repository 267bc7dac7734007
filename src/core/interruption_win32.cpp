// Requests to stop on Windows: the console control events.
#include "core/interruption.h"

#include "core/windows_api.h"

#include <atomic>
#include <cstdio>

namespace parvane {
namespace {

// Set by the console handler, which Windows runs on a thread of its own.
std::atomic<bool> requested{false};

BOOL WINAPI handle_console_event(DWORD event) {
  const std::optional<ConsoleEventResponse> response =
      console_event_response(event);
  // A logoff reaches a process that outlives it only when the process runs
  // under a service account, and there it may be any user's logoff: no
  // request to stop this run, and not to be left to the default handler,
  // which would end the process with its temporary.
  if (!response)
    return event == CTRL_LOGOFF_EVENT ? TRUE : FALSE;
  requested.store(true);
  // Windows ends the process once the handler returns from these events:
  // the run ends it itself as soon as the set in progress is cleaned up.
  if (response->waits_for_cleanup)
    ::Sleep(INFINITE);
  return TRUE;
}

} // namespace

std::optional<ConsoleEventResponse> console_event_response(unsigned long event) {
  switch (event) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    return ConsoleEventResponse{false};
  // The console window closing, the system shutting down: the process does
  // not outlive the handler's return.
  case CTRL_CLOSE_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    return ConsoleEventResponse{true};
  default:
    return std::nullopt;
  }
}

void watch_for_interruption() {
  ::SetConsoleCtrlHandler(handle_console_event, TRUE);
}

bool interruption_requested() { return requested.load(); }

void end_as_interrupted() {
  std::fflush(stdout);
  std::fflush(stderr);
  ::ExitProcess(INTERRUPTED_EXIT_STATUS);
}

} // namespace parvane
