// Stopping a run cleanly when the user asks it to stop: Ctrl-C, a terminal
// that closes, `kill`; on Windows Ctrl-C, Ctrl-Break and closing the console
// window.
//
// The request is the one piece of process-wide state the programs keep: the
// system delivers it to the process, not to a conversion. It lives here
// alone, behind three calls. The handlers only record the request; the file
// layer polls it before every read and write and while it waits for the
// staging lock, so that whatever a run is doing fails at its next step with
// `FileRefusal::Interrupted`, and the program, once the set in progress has
// removed what it had begun, ends the way the request asks.
#pragma once

#include <optional>

namespace parvane {

// Installs the handlers, once, at the start of a program: SIGINT, SIGTERM and
// SIGHUP on POSIX systems (one that the program was started with ignored,
// as `nohup` ignores SIGHUP, stays ignored), the console control handler on
// Windows. SIGXFSZ is ignored, so that a file size limit makes a write fail
// with its reason like any other write failure.
void watch_for_interruption();

// True once a request to stop has arrived. Cheap; safe from any thread.
bool interruption_requested();

// Ends the process as the request asks: on POSIX systems the signal's own
// default action, raised again, so that the shell sees a death by that
// signal (status 130 for Ctrl-C) and a loop of runs stops too; on Windows
// exit status 130. Standard output and error are flushed first.
[[noreturn]] void end_as_interrupted();

#ifdef _WIN32
// What the Windows console handler does with a console control event, by
// the event's number (CTRL_C_EVENT and so on): whether it asks the run to
// stop, and whether the handler must then keep the process alive until the
// run has cleaned up, because Windows ends the process as soon as the
// handler returns from that event. nullopt: an event left to the system.
struct ConsoleEventResponse {
  bool waits_for_cleanup = false;
  bool operator==(const ConsoleEventResponse &) const = default;
};
std::optional<ConsoleEventResponse> console_event_response(unsigned long event);
#endif

// The exit status of a run that Windows asked to stop, whichever the event:
// what a shell shows for a run ended by Ctrl-C.
inline constexpr int INTERRUPTED_EXIT_STATUS = 130;

} // namespace parvane
