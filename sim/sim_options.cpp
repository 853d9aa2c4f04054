#include "sim_options.h"

#include <cstdio>
#include <cstring>

namespace {

// Parses a whole argument as an unsigned decimal in [min_value, max_value].
// Returns true (failure) for anything else.
bool parse_count(const char* text, std::uint64_t min_value, std::uint64_t max_value,
                 std::uint64_t& value_out) {
  if (text == nullptr || text[0] == '\0') {
    return true;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (text[i] < '0' || text[i] > '9' || i >= 12) {
      return true;
    }
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (value < min_value || value > max_value) {
    return true;
  }
  value_out = value;
  return false;
}

}  // namespace

void print_usage() {
  std::fputs(
      "usage: quorvel-sim [--link PATH] [--wire FILE] [--silent] [--noise] [--flood] [--drop N]"
      " [--late MS] [--late-line N] [--pace BAUD|line] [--hangup N]\n",
      stderr);
}

bool parse_arguments(int argc, char** argv, SimOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    std::uint64_t number = 0;
    if (std::strcmp(arg, "--silent") == 0) {
      options.silent = true;
    } else if (std::strcmp(arg, "--noise") == 0) {
      options.noise = true;
    } else if (std::strcmp(arg, "--flood") == 0) {
      options.flood = true;
    } else if (std::strcmp(arg, "--link") == 0 && has_value && argv[i + 1][0] != '\0') {
      options.link_path = argv[++i];
    } else if (std::strcmp(arg, "--wire") == 0 && has_value && argv[i + 1][0] != '\0') {
      options.wire_path = argv[++i];
    } else if (std::strcmp(arg, "--drop") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000, number)) {
      options.drop_every = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--late") == 0 && has_value &&
               !parse_count(argv[i + 1], 0, 3600000, number)) {
      options.late_ms = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--late-line") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000000ull, number)) {
      options.late_line = number;
      ++i;
    } else if (std::strcmp(arg, "--pace") == 0 && has_value &&
               std::strcmp(argv[i + 1], "line") == 0) {
      options.pace_line = true;
      ++i;
    } else if (std::strcmp(arg, "--pace") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 100000000, number)) {
      options.pace_baud = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--hangup") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000000ull, number)) {
      options.hangup_after = number;
      ++i;
    } else {
      std::fprintf(stderr, "quorvel-sim: bad or incomplete argument: %s\n", arg);
      print_usage();
      return true;
    }
  }
  return false;
}
