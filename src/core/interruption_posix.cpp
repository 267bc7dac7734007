// Requests to stop on POSIX systems: SIGINT, SIGTERM and SIGHUP.
#include "core/interruption.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace parvane {
namespace {

// The signal that asked the run to stop; 0 while none has. Written by the
// handler, which may run on any thread, read by every thread.
std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only store to a lock-free flag");

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void record_request(int signal) { requested.store(signal); }

} // namespace

void watch_for_interruption() {
  struct sigaction action {};
  action.sa_handler = record_request;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: no wait of the programs relies on a signal to cut it short
  // (the staging lock is polled, reads and writes check the request before
  // each call), and console lines that a blocked write was sending when the
  // signal came are still written whole.
  action.sa_flags = SA_RESTART;
  for (const int signal : STOP_SIGNALS) {
    struct sigaction before {};
    // A signal the program was started with ignored (`nohup`, a background
    // job of a script) stays ignored, as its caller meant.
    if (::sigaction(signal, nullptr, &before) == 0 &&
        before.sa_handler == SIG_IGN)
      continue;
    ::sigaction(signal, &action, nullptr);
  }
  // A file size limit (ulimit -f) then fails the write with EFBIG, which is
  // reported with its reason, instead of killing the run mid-set.
  ::signal(SIGXFSZ, SIG_IGN);
}

bool interruption_requested() { return requested.load() != 0; }

void end_as_interrupted() {
  std::fflush(stdout);
  std::fflush(stderr);
  const int signal = requested.load() != 0 ? requested.load() : SIGINT;
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  // Only a signal that cannot end the process comes back here.
  ::_exit(128 + signal);
}

} // namespace parvane
