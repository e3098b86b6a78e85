#include <cstdio>
#include <new>

#include "files.h"
#include "table5.h"

int main(int argc, char* argv[]) {
  prepare_process();
  try {
    return run(command_line(argc, argv));
  } catch (const std::bad_alloc&) {  // the command line itself did not fit
    std::fputs("out of memory\n", stdout);
    return 1;
  }
}
