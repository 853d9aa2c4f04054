// The pacing figures of one build of the tool, for the Linux program and the Windows program
// under Wine side by side: pause_ms(20) as quorvel-pause-probe measures it, and the span from
// the first to the last line the unit receives in a full run with -a 0 -l 0, against the
// 15 x 20 ms of lead pauses between them. Measures; judges nothing.
#pragma once

#include <string>

struct PacingTarget {
  const char* name;
  std::string tool;     // quorvel-setup of this build
  std::string probe;    // quorvel-pause-probe of this build
  std::string wrapper;  // words in front of both ("" or the path of wine)
  std::string com;      // "" : the unit's own path; else the COM name in WINEPREFIX's dosdevices
};

void print_pacing_header();

// Runs the probe once and `runs` full runs, and prints one row of the table. Returns false when
// a run failed (the row says so).
bool print_pacing_row(const PacingTarget& target, int runs);

void print_pacing_notes();
