// Why the option scan refused: the reasons, in the words a technician reads on standard error.
#include "setup/option_reasons.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/reason.h"

namespace {

// A value that the technician more likely meant as the next option ("-c -s 5").
bool looks_like_option(const char* value) {
  return (value[0] == '-' || value[0] == '/') && value[1] != '\0' && !looks_like_path(value);
}

// The prefix and letter the scan read an argument as ("/d"), quoted.
std::array<char, 16> shown_option(const char* arg) {
  std::array<char, 16> shown{};
  show_text(shown.data(), shown.size(), arg, 2, 8);
  return shown;
}

// What the text after each option is, for saying what a path was taken for, and what it
// should be, for the reason when it is missing.
struct OptionValue {
  int letter;
  const char* taken_as;
  const char* wanted;
};
constexpr std::array<OptionValue, 8> kOptionValues{{
    {'1', "output 1's values", "MIN,MAX,TTT"},
    {'2', "output 2's values", "MIN,MAX,TTT[,WWW]"},
    {'a', "the pause between characters", "a pause in ms"},
    {'b', "the line speed", "a line speed, as in -b 9600"},
    {'c', "the port name", "a port name"},
    {'d', "the date", "a date, DD\\MM\\YYYY"},
    {'l', "the pause between lines", "a pause in ms"},
    {'t', "the time", "a time, HH:MM:SS"},
}};

const OptionValue& option_value(int letter) {
  for (const OptionValue& option : kOptionValues) {
    if (option.letter == letter) {
      return option;
    }
  }
  return kOptionValues.back();
}

const char* value_taken_as(int letter) {
  return option_value(letter).taken_as;
}

const char* value_wanted(int letter) {
  return option_value(letter).wanted;
}

// A port given without -c: the path was read as an option (`what` says what became of it).
void explain_path_option(const char* path, const char* what) {
  set_reason("%s: read as the option %s%s; give a port as -c %s", shown_argument(path).data(),
             shown_option(path).data(), what, shown_argument(path).data());
}

}  // namespace

std::array<char, 64> shown_argument(const char* arg) {
  std::array<char, 64> shown{};
  if (*arg == '\0') {
    std::snprintf(shown.data(), shown.size(), "''");
  } else {
    show_text(shown.data(), shown.size(), arg, kReasonSize, 32);
  }
  return shown;
}

// "/dev/ttyUSB0" given without -c reads as the option /d, "/tmp/unit" as /t, and so on.
bool looks_like_path(const char* arg) {
  return arg[0] == '/' && std::strchr(arg + 1, '/') != nullptr;
}

int letter_of(const char* option) {
  return std::tolower(static_cast<unsigned char>(option[1]));
}

void explain_path_value(const char* path, const char* value) {
  std::array<char, kReasonSize> what{};
  std::snprintf(what.data(), what.size(), ", so %s was taken as %s", shown_argument(value).data(),
                value_taken_as(letter_of(path)));
  explain_path_option(path, what.data());
}

void explain_not_an_option(const char* arg, const char* previous, const char* owner) {
  if (owner != nullptr && looks_like_path(owner)) {
    explain_path_value(owner, previous);
  } else if (arg[0] == '-' || arg[0] == '/') {
    set_reason("%s: an option letter must follow, as in -c COM1", shown_argument(arg).data());
  } else if (owner != nullptr && looks_like_option(previous)) {
    // The option before took the next option as its value, so its own value is what is missing.
    set_reason("%s: needs %s; %s was taken as one, so %s is not an option",
               shown_argument(owner).data(), value_wanted(letter_of(owner)),
               shown_argument(previous).data(), shown_argument(arg).data());
  } else if (owner == nullptr && (previous[0] == '-' || previous[0] == '/') &&
             letter_of(previous) == 's') {
    set_reason("%s: not an option; -s takes no value", shown_argument(arg).data());
  } else {
    set_reason("%s: not an option; every value follows its option, as in -c COM1",
               shown_argument(arg).data());
  }
}

void explain_missing_value(const char* arg, int letter) {
  if (looks_like_path(arg)) {
    std::array<char, kReasonSize> what{};
    std::snprintf(what.data(), what.size(), ", which needs %s", value_wanted(letter));
    explain_path_option(arg, what.data());
  } else {
    set_reason("%s: needs %s", shown_argument(arg).data(), value_wanted(letter));
  }
}

void explain_unknown_option(const char* arg) {
  if (looks_like_path(arg)) {
    explain_path_option(arg, ", and there is no such option");
  } else {
    set_reason("%s: no such option; the options are -c -b -t -d -1 -2 -a -l -s",
               shown_argument(arg).data());
  }
}
