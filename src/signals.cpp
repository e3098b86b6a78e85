#include "signals.h"

#include <atomic>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The temporary files that exist at this moment, for the handlers.
std::atomic<const NativeChar*> live_temps[max_temps];

void remove_live_temps() {
  for (auto& temp : live_temps)
    if (const NativeChar* path = temp.load()) remove_native(path);
}

#ifdef _WIN32
// Windows runs the console handler on a thread of its own: the critical
// section keeps it out while a temporary file is created or renamed.
CRITICAL_SECTION signal_guard;

// Ends the process at once: ExitProcess from this thread would run the C
// runtime's exit, which may wait for a lock that the stopped main thread
// holds (under Wine a run hung so, 1 in 150).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  ::EnterCriticalSection(&signal_guard);
  remove_live_temps();
  restore_console();
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

#else
// The signals that others send and that end a process by default: each
// removes the temporary files first. Those of a fault in the program itself
// (SIGSEGV, SIGABRT and the like) are left to their default.
constexpr int termination_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE,
                                       SIGALRM, SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM,
#ifdef __linux__
                                       SIGPOLL, SIGPWR,
#endif
                                       SIGPROF};

sigset_t termination_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : termination_signals) sigaddset(&set, sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
  return set;
}

extern "C" void on_termination(int sig) {
  const int saved = errno;
  remove_live_temps();
  std::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered once the handler returns: the usual status
  errno = saved;
}
#endif

}  // namespace

void note_temp(std::size_t slot, const NativeChar* path) { live_temps[slot] = path; }

#ifdef _WIN32
HoldSignals::HoldSignals() { ::EnterCriticalSection(&signal_guard); }
HoldSignals::~HoldSignals() { ::LeaveCriticalSection(&signal_guard); }
#else
HoldSignals::HoldSignals() {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, &old);
}
HoldSignals::~HoldSignals() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
#endif

void prepare_signals() {
#ifdef _WIN32
  ::InitializeCriticalSection(&signal_guard);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = on_termination;
  action.sa_mask = termination_set();
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old {};
    // A signal the caller ignores (nohup) stays ignored.
    if (sigismember(&action.sa_mask, sig) == 1 && ::sigaction(sig, nullptr, &old) == 0 &&
        old.sa_handler != SIG_IGN)
      ::sigaction(sig, &action, nullptr);
  }
#endif
}
