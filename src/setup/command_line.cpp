#include "setup/command_line.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/local_time.h"
#include "common/reason.h"
#include "driver/setup_record.h"
#include "setup/field_formats.h"
#include "setup/option_reasons.h"

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

// The options that gave the texts resolve_setup parses, as typed ("-t", "/T", "/tmp/unit").
struct TypedOptions {
  const char* time = "";
  const char* date = "";
  const char* output1 = "";
  const char* output2 = "";
};
TypedOptions g_typed;

// Where an option that resolve_setup parses (-t, -d, -1, -2) leaves its text and itself.
struct TextOption {
  const char*& text;
  const char*& typed;
};

TextOption text_option(int letter) {
  switch (letter) {
    case 't':
      return {g_setup.time_text, g_typed.time};
    case 'd':
      return {g_setup.date_text, g_typed.date};
    case '1':
      return {g_setup.output1_text, g_typed.output1};
    default:
      return {g_setup.output2_text, g_typed.output2};
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
      case 'a':
        g_setup.char_time_ms = convert_unsigned(value);
        break;
      case 'b':
        g_setup.baud_rate = convert_unsigned(value);
        break;
      case 'c':
        g_setup.port_name = value;
        break;
      case 'l':
        g_setup.line_time_ms = convert_unsigned(value);
        break;
      default: {
        const TextOption option = text_option(letter);
        option.text = value;
        option.typed = arg;
        break;
      }
    }
  }
  return false;
}

namespace {

constexpr OutputParams kDefaultOutput{0, 100, 0, 0};

// Puts the option as typed and its text in front of what the field parser found wrong.
bool refuse_option(char letter, const char* text) {
  const char* option = text_option(letter).typed;
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
