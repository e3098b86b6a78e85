// The signals that end a run: the temporary report files they remove
// first, and holding them off while the reports are renamed.
#pragma once

#include <csignal>
#include <cstddef>

#include "names.h"

// Sets the handlers up once: every signal sent to end the process (on
// Windows Ctrl-C, Ctrl-Break, closing the console) removes the temporary
// files noted, then ends the process as the signal would. A signal the
// caller ignores (nohup) stays ignored; those of a fault in the program
// itself (SIGSEGV, SIGABRT) keep their default.
void prepare_signals();

// Notes the temporary file in slot, or nullptr for none, for the handlers.
// Only while the signals are held off.
constexpr std::size_t max_temps = 2;
void note_temp(std::size_t slot, const NativeChar* path);

// Holds every signal that can be held off for its lifetime; one that comes
// meanwhile is acted on when it ends.
struct HoldSignals {
  HoldSignals();
  ~HoldSignals();
  HoldSignals(const HoldSignals&) = delete;
  HoldSignals& operator=(const HoldSignals&) = delete;
#ifndef _WIN32
  sigset_t old;
#endif
};
