// The order the port list is shown in: ttyS2 before ttyS10.
#include <cstddef>
#include <cstring>

#include "link/port_list/port_list_linux.h"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Compares two names with every run of digits taken as one number, its value read off the digits
// without converting them, so no run is too long. -1, 0 or 1; 0 also for ttyS1 and ttyS01.
int compare_by_value(const char* a, const char* b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (a[i] != '\0' && b[j] != '\0') {
    if (is_digit(a[i]) && is_digit(b[j])) {
      while (a[i] == '0') {
        ++i;
      }
      while (b[j] == '0') {
        ++j;
      }
      std::size_t end_a = i;
      std::size_t end_b = j;
      while (is_digit(a[end_a])) {
        ++end_a;
      }
      while (is_digit(b[end_b])) {
        ++end_b;
      }
      // Without leading zeros the longer run is the larger number; runs as long compare digit
      // by digit.
      if (end_a - i != end_b - j) {
        return end_a - i < end_b - j ? -1 : 1;
      }
      const int by_digits = std::memcmp(a + i, b + j, end_a - i);
      if (by_digits != 0) {
        return by_digits < 0 ? -1 : 1;
      }
      i = end_a;
      j = end_b;
      continue;
    }
    // A number sorts where its first digit would among the other bytes: no byte that is not a
    // digit lies between '0' and '9', so every number sits at the same place among them.
    const unsigned byte_a = is_digit(a[i]) ? '0' : static_cast<unsigned char>(a[i]);
    const unsigned byte_b = is_digit(b[j]) ? '0' : static_cast<unsigned char>(b[j]);
    if (byte_a != byte_b) {
      return byte_a < byte_b ? -1 : 1;
    }
    ++i;
    ++j;
  }
  // One has ended: it is the shorter, and comes first.
  if (a[i] == b[j]) {
    return 0;
  }
  return a[i] == '\0' ? -1 : 1;
}

}  // namespace

bool port_name_less(const char* a, const char* b) {
  // Names equal by value (ttyS1, ttyS01) are told apart byte by byte, so the order is total.
  const int by_value = compare_by_value(a, b);
  return by_value != 0 ? by_value < 0 : std::strcmp(a, b) < 0;
}
