#include "link/port_list/com_names.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t kMostPorts = 256;         // as many COM numbers as Windows hands out
constexpr std::uint32_t kHighestNumber = 9999;  // past this a name is no COM port of ours

// The number of "COMn" (no leading zero), or 0 when the name is something else.
std::uint32_t com_number(const char* name, std::size_t length) {
  if (!is_com_name(name, length) || name[3] == '0') {
    return 0;
  }
  std::uint32_t number = 0;
  for (std::size_t i = 3; i < length; ++i) {
    number = number * 10 + static_cast<std::uint32_t>(name[i] - '0');
    if (number > kHighestNumber) {
      return 0;
    }
  }
  return number;
}

}  // namespace

bool is_com_name(const char* name, std::size_t length) {
  if (length < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') {
    return false;
  }
  for (std::size_t i = 3; i < length; ++i) {
    if (name[i] < '0' || name[i] > '9') {
      return false;
    }
  }
  return true;
}

void com_port_list(const char* names, std::size_t length, char* out, std::size_t size) {
  if (size == 0) {
    return;
  }
  out[0] = '\0';
  std::array<std::uint32_t, kMostPorts> numbers{};
  std::size_t count = 0;
  for (std::size_t at = 0; at < length && names[at] != '\0';) {
    std::size_t end = at;
    while (end < length && names[end] != '\0') {
      ++end;
    }
    const std::uint32_t number = com_number(names + at, end - at);
    if (number != 0 && count < numbers.size()) {
      numbers[count++] = number;
    }
    at = end + 1;
  }
  std::sort(numbers.begin(), numbers.begin() + static_cast<std::ptrdiff_t>(count));
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && numbers[i] == numbers[i - 1]) {
      continue;
    }
    const int n = std::snprintf(out + used, size - used, "%sCOM%u", used == 0 ? "" : ", ",
                                static_cast<unsigned>(numbers[i]));
    if (n < 0 || used + static_cast<std::size_t>(n) >= size) {
      // Cut at the last whole name rather than in the middle of one.
      out[used] = '\0';
      return;
    }
    used += static_cast<std::size_t>(n);
  }
}
