// The signals that end a run: the temporary report files they remove
// first, and holding them off while the reports are renamed.
#pragma once

#include <string>

#include "system.h"

// Sets the handlers up once through sys: every signal that would end the
// process (on Windows Ctrl-C, Ctrl-Break, closing the console) removes the
// temporary files noted, then ends the process as the signal would. A
// signal the caller ignores (nohup) stays ignored. Where the C++ runtime
// ends the process for want of memory for an exception (std::terminate
// with none), the run ends as any other out of memory: the temporary files
// removed, "out of memory", status 1.
void prepare_signals(System& sys);

// A temporary file that a signal must remove, noted while it exists. Noted
// and forgotten only while the signals are held off.
struct LiveTemp {
  const std::string* path = nullptr;
  LiveTemp* next = nullptr;
};
void note_temp(LiveTemp& temp);
void forget_temp(LiveTemp& temp);


// Holds every signal that can be held off for its lifetime; one that comes
// meanwhile is acted on when it ends.
struct HoldSignals {
  System& sys;
  explicit HoldSignals(System& s) : sys(s) { sys.hold_signals(); }
  ~HoldSignals() { sys.release_signals(); }
  HoldSignals(const HoldSignals&) = delete;
  HoldSignals& operator=(const HoldSignals&) = delete;
};
