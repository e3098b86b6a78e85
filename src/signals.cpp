#include "signals.h"

namespace {

// The temporary files that exist at this moment and the system that removes
// them, for the handler: it may run at any moment the signals are not held.
System* volatile signal_system = nullptr;
LiveTemp* volatile live_temps = nullptr;

void remove_live_temps() {
  for (LiveTemp* temp = live_temps; temp != nullptr; temp = temp->next)
    signal_system->remove(*temp->path);
}

}  // namespace

void prepare_signals(System& sys) {
  signal_system = &sys;
  sys.on_signals(remove_live_temps);
}

void remove_temps_now() {
  if (signal_system != nullptr) remove_live_temps();
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
