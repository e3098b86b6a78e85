#include "files.h"
#include "table5.h"

int main(int argc, char* argv[]) {
  prepare_process();
  return run(command_line(argc, argv));
}
