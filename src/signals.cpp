#include "signals.h"

#include <cstdlib>
#include <exception>

namespace {

// The temporary files that exist at this moment and the system that removes
// them, for the handler: it may run at any moment the signals are not held.
System* volatile signal_system = nullptr;
LiveTemp* volatile live_temps = nullptr;

void remove_live_temps() {
  for (LiveTemp* temp = live_temps; temp != nullptr; temp = temp->next)
    signal_system->remove(*temp->path);
}

// Where the C++ runtime cannot even have the memory for an exception, it
// ends the process through here with none: the run is out of memory. Any
// other end of this kind (an exception nothing catches) keeps its default.
[[noreturn]] void on_terminate() {
  if (std::current_exception()) std::abort();
  remove_live_temps();
  signal_system->out("out of memory\n");
  std::_Exit(1);
}

}  // namespace

void prepare_signals(System& sys) {
  signal_system = &sys;
  sys.on_signals(remove_live_temps);
  std::set_terminate(on_terminate);
}

void note_temp(LiveTemp& temp) {
  temp.next = live_temps;
  live_temps = &temp;
}

void forget_temp(LiveTemp& temp) {
  for (LiveTemp* volatile* at = &live_temps; *at != nullptr; at = &(*at)->next)
    if (*at == &temp) {
      *at = temp.next;
      return;
    }
}
