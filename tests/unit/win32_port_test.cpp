// The Windows serial link's plain parts: the device path a named port becomes, the COM ports
// among the system's device names, and the second try a strict driver gets.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "link/port/device_path.h"
#include "link/port/line_retry.h"
#include "link/port_list/com_names.h"

namespace {

TEST(WindowsDevicePath, PrefixAddedAndOneTrailingColonDropped) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"COM3", "\\\\.\\COM3"},
      {"COM3:", "\\\\.\\COM3"},
      {"com12:", "\\\\.\\com12"},
      {"COM3::", "\\\\.\\COM3:"},            // only one colon is a habit
      {":", "\\\\.\\:"},                     // nothing left to name without it
      {"\\\\.\\COM5", "\\\\.\\COM5"},        // already in the device namespace
      {"\\\\.\\COM5:", "\\\\.\\COM5:"},      // taken as it stands
      {"\\\\?\\usb#vid", "\\\\?\\usb#vid"},  // any "\\" name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<char, 64> path{};
    EXPECT_FALSE(windows_device_path(c.name, path.data(), path.size()));
    EXPECT_STREQ(path.data(), c.path);
  }
}

std::string names(std::initializer_list<const char*> list) {
  std::string all;
  for (const char* name : list) {
    all += name;
    all += '\0';
  }
  return all + '\0';
}

TEST(ComPortList, NumericOrderOnceEachOnlyComPorts) {
  const struct {
    std::string names;
    std::size_t size;
    const char* list;
  } cases[] = {
      {names({"COM12", "C:", "COM1", "LPT1", "com5", "COM1", "NUL"}), 64, "COM1, COM5, COM12"},
      {names({"COM", "COMX", "COM01", "COM1A", "CONIN$", "COM99999"}), 64, ""},
      {names({}), 64, ""},
      {names({"COM1", "COM2", "COM10"}), 12, "COM1, COM2"},  // cut at a whole name
      {names({"COM256"}), 4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    std::array<char, 64> out{};
    out.fill('Z');
    com_port_list(c.names.data(), c.names.size(), out.data(), c.size);
    EXPECT_STREQ(out.data(), c.list);
  }
}

// Stand-ins for drivers: each records what it was given and refuses as a real one might.
struct Driver {
  const char* name;
  bool (*refuses)(const FlowChars&);
  std::vector<std::pair<int, int>> tries;  // what the program asked for, in order
  bool fails;
};

TEST(StrictDriver, TableFirstDc1Dc3OnlyWhenRefused) {
  Driver drivers[] = {
      {"lenient: the table's DCB as it stands",
       [](const FlowChars&) { return false; },
       {{0, 0}},
       false},
      {"strict: refuses XonChar equal to XoffChar",
       [](const FlowChars& c) { return c.xon == c.xoff; },
       {{0, 0}, {17, 19}},
       false},
      {"refuses everything: two tries, then the open fails",
       [](const FlowChars&) { return true; },
       {{0, 0}, {17, 19}},
       true},
  };
  for (const Driver& driver : drivers) {
    SCOPED_TRACE(driver.name);
    std::vector<std::pair<int, int>> asked;
    const bool failed = set_line_with_retry([&](const FlowChars& chars) {
      asked.emplace_back(chars.xon, chars.xoff);
      return driver.refuses(chars);
    });
    EXPECT_EQ(failed, driver.fails);
    EXPECT_EQ(asked, driver.tries);
  }
}

}  // namespace
