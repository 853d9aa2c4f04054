// The simulator's command line.
#pragma once

#include "simulator.h"

// Prints the usage line on stderr.
void print_usage();

// Fills options from argv. Returns true (failure) after printing why and the usage on stderr.
bool parse_arguments(int argc, char** argv, SimOptions& options);
