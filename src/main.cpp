#include <cstdlib>
#include <exception>
#include <new>

#include "signals.h"
#include "system.h"
#include "table5.h"

namespace {

// Where the C++ runtime could not even have the memory for an exception, it
// ends the process through here with none: that is the run out of memory.
// Any other end of this kind keeps its default.
[[noreturn]] void on_terminate() {
  if (std::current_exception()) std::abort();
  remove_temps_now();
  native_system().out("out of memory\n");
  std::_Exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before anything else: the system the run goes through, and the signals
  // that must not leave a temporary report.
  System& sys = native_system();
  prepare_signals(sys);
  std::set_terminate(on_terminate);
  int status = 1;
  try {
    status = run(command_line(argc, argv), sys);
  } catch (const std::bad_alloc&) {  // the command line itself did not fit
    sys.out("out of memory\n");
  }
  if (status != 0) sys.wait_if_own_console();  // every failure prints a message
  return status;
}
