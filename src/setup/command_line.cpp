#include "setup/command_line.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "driver/setup_record.h"
#include "setup/field_formats.h"
#include "setup/local_time.h"
#include "setup/reason.h"

std::uint32_t convert_unsigned(const char* text) {
  // strtoul's unsigned long is 64 bits on Linux and 32 on Windows; work in 64 bits and saturate
  // the magnitude at 32 bits before the sign applies, so a number means the same everywhere.
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) {
    ++p;
  }
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') {
    ++p;
  }
  std::uint64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10U + static_cast<std::uint64_t>(*p - '0');
    if (magnitude > UINT32_MAX) {
      magnitude = UINT32_MAX;  // stays saturated: the rest of the digits cannot lower it
    }
  }
  const auto result = static_cast<std::uint32_t>(magnitude);
  return negative ? 0U - result : result;
}

namespace {

// An argument as a reason quotes it: shortened, control bytes made visible, '' when empty.
std::array<char, 64> shown_argument(const char* arg) {
  std::array<char, 64> shown{};
  if (*arg == '\0') {
    std::snprintf(shown.data(), shown.size(), "''");
  } else {
    show_text(shown.data(), shown.size(), arg, kReasonSize, 32);
  }
  return shown;
}

// The options that gave the texts resolve_setup parses, as typed ("-t", "/T", "/tmp/unit").
struct TypedOptions {
  const char* time = "";
  const char* date = "";
  const char* output1 = "";
  const char* output2 = "";
};
TypedOptions g_typed;

const char*& typed_option(int letter) {
  switch (letter) {
    case 't':
      return g_typed.time;
    case 'd':
      return g_typed.date;
    case '1':
      return g_typed.output1;
    default:
      return g_typed.output2;
  }
}

// "/dev/ttyUSB0" given without -c reads as the option /d, "/tmp/unit" as /t, and so on.
bool looks_like_path(const char* arg) {
  return arg[0] == '/' && std::strchr(arg + 1, '/') != nullptr;
}

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

// What the text after each option is, for saying what a path was taken for.
const char* value_taken_as(int letter) {
  switch (letter) {
    case '1':
      return "output 1's values";
    case '2':
      return "output 2's values";
    case 'a':
      return "the pause between characters";
    case 'b':
      return "the line speed";
    case 'c':
      return "the port name";
    case 'd':
      return "the date";
    case 'l':
      return "the pause between lines";
    default:
      return "the time";
  }
}

// What each option's value is, for the reason when it is missing.
const char* value_wanted(int letter) {
  switch (letter) {
    case '1':
      return "MIN,MAX,TTT";
    case '2':
      return "MIN,MAX,TTT[,WWW]";
    case 'a':
    case 'l':
      return "a pause in ms";
    case 'b':
      return "a line speed, as in -b 9600";
    case 'c':
      return "a port name";
    case 'd':
      return "a date, DD\\MM\\YYYY";
    default:
      return "a time, HH:MM:SS";
  }
}

int letter_of(const char* option) {
  return std::tolower(static_cast<unsigned char>(option[1]));
}

// A port given without -c: the path was read as an option (`what` says what became of it).
void explain_path_option(const char* path, const char* what) {
  set_reason("%s: read as the option %s%s; give a port as -c %s", shown_argument(path).data(),
             shown_option(path).data(), what, shown_argument(path).data());
}

// A path option took `value` as its value, and what followed was refused.
void explain_path_value(const char* path, const char* value) {
  std::array<char, kReasonSize> what{};
  std::snprintf(what.data(), what.size(), ", so %s was taken as %s", shown_argument(value).data(),
                value_taken_as(letter_of(path)));
  explain_path_option(path, what.data());
}

// `arg` stands where an option should. `previous` is the argument before it, and `owner` the
// option that took `previous` as its value (nullptr when `previous` was no option's value).
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

}  // namespace

bool parse_options(int argc, char** argv) {
  g_typed = TypedOptions{};
  const char* owner = nullptr;  // the option whose value the previous argument was
  for (int index = 1; index < argc; ++index) {
    const char* arg = argv[index];
    if ((arg[0] != '/' && arg[0] != '-') || arg[1] == '\0') {
      print_usage(argv[0]);
      explain_not_an_option(arg, index > 1 ? argv[index - 1] : "", owner);
      return true;
    }
    const int letter = letter_of(arg);
    owner = nullptr;
    if (letter == 's') {
      continue;  // accepted for old scripts; it has no effect
    }
    const bool known = letter == '1' || letter == '2' || letter == 'a' || letter == 'b' ||
                       letter == 'c' || letter == 'd' || letter == 'l' || letter == 't';
    if (!known || index + 1 >= argc) {
      print_usage(argv[0]);
      if (!known) {
        explain_unknown_option(arg);
      } else {
        explain_missing_value(arg, letter);
      }
      return true;
    }
    // The next argument is the option's, whatever it looks like.
    const char* value = argv[++index];
    owner = arg;
    switch (letter) {
      case '1':
        g_setup.output1_text = value;
        typed_option(letter) = arg;
        break;
      case '2':
        g_setup.output2_text = value;
        typed_option(letter) = arg;
        break;
      case 'a':
        g_setup.char_time_ms = convert_unsigned(value);
        break;
      case 'b':
        g_setup.baud_rate = convert_unsigned(value);
        break;
      case 'c':
        g_setup.port_name = value;
        break;
      case 'd':
        g_setup.date_text = value;
        typed_option(letter) = arg;
        break;
      case 'l':
        g_setup.line_time_ms = convert_unsigned(value);
        break;
      default:
        g_setup.time_text = value;
        typed_option(letter) = arg;
        break;
    }
  }
  return false;
}

namespace {

constexpr OutputParams kDefaultOutput{0, 100, 0, 0};

// Puts the option as typed and its text in front of what the field parser found wrong.
bool refuse_option(char letter, const char* text) {
  const char* option = typed_option(letter);
  if (looks_like_path(option)) {
    explain_path_value(option, text);
    return true;
  }
  std::array<char, kReasonSize> cause{};
  std::snprintf(cause.data(), cause.size(), "%s", setup_reason());
  // A text no scan stored (set by the caller itself) is named by its option's usual form.
  const std::array<char, 3> usual = {'-', letter, '\0'};
  set_reason("%s %s: %s", shown_argument(option[0] != '\0' ? option : usual.data()).data(),
             shown_argument(text).data(), cause.data());
  return true;
}

bool resolve_output(char letter, const char* text, OutputParams& params) {
  if (text == nullptr) {
    params = kDefaultOutput;
    return false;
  }
  return parse_output_params(text, params) && refuse_option(letter, text);
}

}  // namespace

bool resolve_setup_at(const std::tm& now) {
  if (g_setup.time_text != nullptr && parse_time(g_setup.time_text)) {
    return refuse_option('t', g_setup.time_text);
  }
  if (g_setup.date_text != nullptr) {
    if (parse_date(g_setup.date_text)) {
      return refuse_option('d', g_setup.date_text);
    }
  } else if (!pc_year_fits(now)) {
    // A wrapped year would be loaded, so the technician has to give -d.
    set_reason("the PC clock says %ld; the unit holds 2000 to 2255: give the date with -d",
               static_cast<long>(now.tm_year) + 1900L);
    return true;
  }
  g_setup.time_from_pc = g_setup.time_text == nullptr;
  g_setup.date_from_pc = g_setup.date_text == nullptr;
  take_pc_clock(now, g_setup);
  if (resolve_output('1', g_setup.output1_text, g_setup.output1) ||
      resolve_output('2', g_setup.output2_text, g_setup.output2)) {
    return true;
  }
  g_setup.time_text = nullptr;
  g_setup.date_text = nullptr;
  g_setup.output1_text = nullptr;
  g_setup.output2_text = nullptr;
  return false;
}

bool resolve_setup() {
  return resolve_setup_at(local_now());
}

void print_usage(const char* program_name) {
  std::printf(
      "usage: %s [-c commname] [-b baudrate] [-t time] [-d date] [-1 param] [-2 param] "
      "[-a chartime] [-l linetime]\n",
      program_name);
  std::fputs(
      "\n"
      " Options:\n"
      "\n"
      "  -c commname : name of comm port                 {default COM1}\n"
      "  -b baudrate : baudrate to use                   {default 9600}\n"
      "  -t time     : use given time in HH:MM:SS format\n"
      "  -d date     : use given date in DD\\MM\\YYY format\n"
      "  -1 param    : setup output 1, param in MIN,MAX,TTT format\n"
      "  -2 param    : setup output 2, param in MIN,MAX,TTT,WWW format\n"
      "  -a chartime : time in ms between each character {default 0ms }\n"
      "  -l linetime : time in ms between each line      {default 50ms}\n"
      "\n"
      "  HH:MM:SS Format\n"
      "   HH  : hour     between 0 and 23 with one or two digits\n"
      "   MM  : minutes  between 0 and 59 with one or two digits\n"
      "   SS  : seconds  between 0 and 59 with one or two digits\n"
      "\n"
      "  DD\\MM\\YYY Format\n"
      "   DD  : day      between 0 and 31  with one or two digits\n"
      "   MM  : month    between 0 and 12  with one or two digits\n"
      "   YYY : year     between 0 and 255 with one to three digits\n"
      "\n"
      "  MIN,MAX,TTT,WWW Format\n"
      "   MIN : minimum  between 0 and 255 with one to three digits\n"
      "   MAX : maximum  between 0 and 255 with one to three digits\n"
      "   TTT : time     between 0 and 255 with one to three digits (10ms)\n"
      "   WWW : time     between 0 and 255 with one to three digits (10ms)\n"
      "\n"
      "  When no time or/and date is given, the current local time will\n"
      "   be used.\n"
      "\n",
      stdout);
}
