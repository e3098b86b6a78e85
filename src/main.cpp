#include <cstdio>
#include <new>

#include "memory.h"
#include "names.h"
#include "reportfiles.h"
#include "signals.h"
#include "table5.h"

int main(int argc, char* argv[]) {
  // Before anything else: the heap the run allocates from, the console it
  // prints to, and the signals that must not leave a temporary report.
  prepare_memory();
  prepare_console();
  prepare_signals();
  prepare_report_files();
  int status = 1;
  try {
    status = run(command_line(argc, argv));
  } catch (const std::bad_alloc&) {  // the command line itself did not fit
    std::fputs("out of memory\n", stdout);
  }
  if (status != 0) wait_if_own_console();  // every failure prints a message
  return status;
}
