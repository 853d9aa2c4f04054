// The Windows serial link's plain parts: the device path a named port becomes, the COM ports
// among the system's device names, and the second try a strict driver gets.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "link/port/device_path.h"
#include "link/port/line_retry.h"
#include "link/port_list/com_names.h"

namespace {

using namespace std::string_literals;

// Only one trailing colon is a habit; ":" alone has nothing left to name without it; a name
// already in the device namespace, or any "\\" name, is taken as it stands.
TEST(WindowsDevicePath, PrefixAddedAndOneTrailingColonDropped) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"COM3:", "\\\\.\\COM3"},         {"COM3::", "\\\\.\\COM3:"},           {":", "\\\\.\\:"},
      {"\\\\.\\COM5:", "\\\\.\\COM5:"}, {"\\\\?\\usb#vid", "\\\\?\\usb#vid"},
  };
  for (const auto& c : cases) {
    std::array<char, 64> path{};
    EXPECT_FALSE(windows_device_path(c.name, path.data(), path.size())) << c.name;
    EXPECT_STREQ(path.data(), c.path);
  }
}

// The names as QueryDosDevice lists them, each ended by a NUL, the list by one more. A list cut
// short by its room ends at a whole name.
TEST(ComPortList, NumericOrderOnceEachOnlyComPorts) {
  const struct {
    std::string names;
    std::size_t size;
    const char* list;
  } cases[] = {
      {"COM12\0C:\0COM1\0LPT1\0com5\0COM1\0NUL\0\0"s, 64, "COM1, COM5, COM12"},
      {"COM\0COMX\0COM01\0COM1A\0CONIN$\0COM99999\0\0"s, 64, ""},
      {"\0"s, 64, ""},
      {"COM1\0COM2\0COM10\0\0"s, 12, "COM1, COM2"},
      {"COM256\0\0"s, 4, ""},
  };
  for (const auto& c : cases) {
    std::array<char, 64> out{};
    out.fill('Z');
    com_port_list(c.names.data(), c.names.size(), out.data(), c.size);
    EXPECT_STREQ(out.data(), c.list);
  }
}

// Stand-ins for drivers, each refusing as a real one might: a lenient one takes the table's DCB
// as it stands, a strict one refuses XonChar equal to XoffChar, and one that refuses everything
// gets two tries before the open fails.
TEST(StrictDriver, TableFirstDc1Dc3OnlyWhenRefused) {
  using Tries = std::vector<std::pair<int, int>>;
  const struct {
    bool (*refuses)(const FlowChars&);
    Tries tries;  // what the program asked for, in order
    bool fails;
  } drivers[] = {
      {[](const FlowChars&) { return false; }, {{0, 0}}, false},
      {[](const FlowChars& c) { return c.xon == c.xoff; }, {{0, 0}, {17, 19}}, false},
      {[](const FlowChars&) { return true; }, {{0, 0}, {17, 19}}, true},
  };
  for (const auto& driver : drivers) {
    Tries asked;
    EXPECT_EQ(set_line_with_retry([&](const FlowChars& chars) {
                asked.emplace_back(chars.xon, chars.xoff);
                return driver.refuses(chars);
              }),
              driver.fails);
    EXPECT_EQ(asked, driver.tries);
  }
}

}  // namespace
