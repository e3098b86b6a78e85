#include <new>

#include "signals.h"
#include "system.h"
#include "table5.h"

int main(int argc, char* argv[]) {
  // Before anything else: the system the run goes through, and the signals
  // that must not leave a temporary report.
  System& sys = native_system();
  prepare_signals(sys);
  int status = 1;
  try {
    status = run(command_line(argc, argv), sys);
  } catch (const std::bad_alloc&) {  // the command line itself did not fit
    sys.out("out of memory\n");
  }
  if (sys.own_console()) sys.wait_for_key();  // so that what was said can be read
  return status;
}
