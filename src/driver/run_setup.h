// The program's run: settings in, port open, summary, programming sequence, port closed.
#pragma once

#include "driver/setup_record.h"

// Runs the program with its arguments and returns the exit status: 0 once the programming
// sequence has got through; 2 when it ended "!! Failed !!"; 1 for a usage error, a bad or
// refused value, ESC in the dialogue, or a port that cannot be opened. The terminal is left as
// it was found.
int run_setup(int argc, char** argv);

// Prints the summary of what is about to be sent.
void print_summary(const SetupRecord& setup);
