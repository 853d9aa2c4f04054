// Dialogue mode: every setting asked for in turn on the console, each with its default.
#pragma once

#include <ctime>

// Asks the seventeen questions and fills g_setup. Returns true when the operator pressed ESC
// (or the input ended) or an answer was out of range; there is no second chance. An answer out
// of range or the end of the input leaves what happened in setup_reason(); ESC leaves it empty.
bool run_dialogue();

// As run_dialogue, with `now` as the local time that the clock defaults come from.
bool run_dialogue_at(const std::tm& now);
