// The Linux port list, read from a made-up sysfs and /dev in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/port_list/port_list_linux.h"

namespace {

class FakeSystem {
 public:
  FakeSystem() {
    char pattern[] = "/tmp/quorvel-ports-XXXXXX";
    root_ = mkdtemp(pattern);
    sys_ = root_ + "/sys";
    dev_ = root_ + "/dev";
    dir("sys/class/tty");
    dir("dev");
  }
  ~FakeSystem() { std::system(("rm -rf '" + root_ + "'").c_str()); }

  const std::string& sys() const { return sys_; }
  const std::string& dev() const { return dev_; }

  // A tty in the class directory, its device somewhere under sys/devices, and its node.
  void tty(const std::string& name, const std::string& device_dir, bool node = true) {
    dir("sys/class/tty/" + name);
    dir("sys/devices/" + device_dir);
    link(sys_ + "/devices/" + device_dir, "sys/class/tty/" + name + "/device");
    if (node) {
      file("dev/" + name, "");
    }
  }
  void driver(const std::string& device_dir, const std::string& driver_name) {
    dir("sys/bus/any/drivers/" + driver_name);
    link(sys_ + "/bus/any/drivers/" + driver_name, "sys/devices/" + device_dir + "/driver");
  }
  void by_id(const std::string& id, const std::string& tty) {
    dir("dev/serial/by-id");
    link("../../" + tty, "dev/serial/by-id/" + id);
  }
  void file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen((root_ + "/" + path).c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  void dir(const std::string& path) {
    std::system(("mkdir -p '" + root_ + "/" + path + "'").c_str());
  }

 private:
  void link(const std::string& target, const std::string& path) {
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + path).c_str()), 0) << path;
  }
  std::string root_, sys_, dev_;
};

std::string list(const FakeSystem& system, std::size_t size = 1024) {
  std::vector<char> out(size, 'Z');
  list_serial_ports_in(system.sys().c_str(), system.dev().c_str(), out.data(), out.size());
  return out.data();
}

// A machine with the usual mixture: two USB adapters, 8250 ports real and placeholder, a
// console without a device, a tty whose node udev has not made.
void populate(FakeSystem& s) {
  const std::string ftdi = "pci0/usb1/1-1/1-1:1.0/ttyUSB0";
  s.tty("ttyUSB0", ftdi);
  s.driver(ftdi, "ftdi_sio");
  s.file("sys/devices/pci0/usb1/1-1/product", "FT232R USB UART\n");
  s.by_id("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");

  const std::string acm = "pci0/usb1/1-2/1-2:1.0";
  s.tty("ttyACM0", acm);
  s.driver(acm, "cdc_acm");
  s.file("sys/devices/pci0/usb1/1-2/product", "Gadget\x1b]2;owned\x07\n");  // names itself

  s.tty("ttyS0", "platform/serial8250/ttyS0");
  s.driver("platform/serial8250/ttyS0", "serial8250");
  s.file("sys/class/tty/ttyS0/type", "4\n");
  s.tty("ttyS1", "platform/serial8250/ttyS1");  // no UART behind it
  s.file("sys/class/tty/ttyS1/type", "0\n");
  s.tty("ttyS3", "platform/old/ttyS3");  // no type given, and neither port nor interrupt
  s.file("sys/class/tty/ttyS3/port", "0x0\n");
  s.file("sys/class/tty/ttyS3/irq", "0\n");

  // Newer kernels: serial-base port and controller devices between the tty and the driver.
  const std::string pnp = "pnp0/00:05";
  s.tty("ttyS10", pnp + "/00:05:0/00:05:0.0");
  s.driver(pnp + "/00:05:0/00:05:0.0", "port");
  s.driver(pnp + "/00:05:0", "ctrl");
  s.driver(pnp, "serial");
  s.file("sys/class/tty/ttyS10/type", "4\n");
  s.file("sys/class/tty/ttyS10/port", "0x3F8\n");
  s.tty("ttyS2", "platform/serial8250/ttyS2");
  s.file("sys/class/tty/ttyS2/type", "4\n");

  s.dir("sys/class/tty/tty0");  // a virtual console: no device
  s.file("dev/tty0", "");
  s.tty("ttyUSB1", "pci0/usb1/1-3/1-3:1.0/ttyUSB1", false);  // no node in /dev
}

TEST(PortList, RealPortsWithTheirNamesInOrder) {
  FakeSystem s;
  populate(s);
  const std::string d = s.dev();
  EXPECT_EQ(list(s), d + "/ttyACM0 (Gadget?]2;owned?), " + d + "/ttyS0 (serial8250), " + d +
                         "/ttyS2, " + d + "/ttyS10 (serial), " + d + "/ttyUSB0 (FT232R USB UART, " +
                         d + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)");
}

TEST(PortList, NamesThatCouldDriveTheTerminalAreQuotedAndLongOnesCut) {
  FakeSystem s;
  // Names a device or a udev rule made: control bytes in the tty's own name and in its stable
  // name, and a stable name far longer than a line.
  s.tty("ttyUSB\x1b[2J", "pci0/usb1/1-1/1-1:1.0/x");
  s.by_id("usb-Evil\x1b]2;owned\x07-port0", "ttyUSB\x1b[2J");
  s.tty("ttyACM0", "pci0/usb1/1-2/1-2:1.0");
  s.by_id("usb-" + std::string(240, 'L') + "-if00", "ttyACM0");
  const std::string d = s.dev();
  const std::string shown_long = d + "/serial/by-id/usb-" + std::string(96 - d.size() - 18, 'L');
  EXPECT_EQ(list(s), d + "/ttyACM0 (" + shown_long + "...), " + d + "/ttyUSB\\x1b[2J (" + d +
                         "/serial/by-id/usb-Evil\\x1b]2;owned\\x07-port0)");
}

TEST(PortList, EmptyMissingAndShortBuffers) {
  FakeSystem empty;
  EXPECT_EQ(list(empty), "");

  FakeSystem s;
  populate(s);
  const std::string full = list(s);
  const std::string first = s.dev() + "/ttyACM0 (Gadget?]2;owned?)";
  const struct {
    std::size_t size;
    std::string expected;
  } cases[] = {
      {1, ""},
      {4, "..."},
      {first.size() + 1, "..."},  // the first would fit only without room for what follows
      {first.size() + 6, first + ", ..."},
      {full.size() + 1, full},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(list(s, c.size), c.expected);
  }

  char untouched = 'Z';
  list_serial_ports_in(s.sys().c_str(), s.dev().c_str(), &untouched, 0);
  EXPECT_EQ(untouched, 'Z');
  char out[16] = "x";
  list_serial_ports_in("/nonexistent-sys", "/dev", out, sizeof out);
  EXPECT_STREQ(out, "");
}

TEST(PortList, NameOrderIsStrictAndTotal) {
  // In the order the list shows them. Where the number in one name meets a letter in the other
  // the number goes first, since digits come before letters; equal values (1, 01) are told apart
  // byte by byte; runs far longer than any integer type still compare by value.
  const std::string nines(30, '9');
  const std::string big = "1" + std::string(30, '0');
  const std::vector<std::string> names = {
      "",         "0",       "00",       "1",        "1a",           "9",
      "10",       "a",       "rfcomm0",  "tty",      "ttyACM0",      "ttyAMA0",
      "ttyS",     "ttyS0",   "ttyS001",  "ttyS01",   "ttyS1",        "ttyS1a2",
      "ttyS1a10", "ttyS2",   "ttyS10",   "ttyS10a1", "ttyS" + nines, "ttyS" + big,
      "ttyUSB0",  "ttyUSB2", "ttyUSB10", "x1y",      "x9",           "x10"};
  // a < b exactly when a comes earlier: irreflexive, asymmetric, transitive and total on these.
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = 0; j < names.size(); ++j) {
      EXPECT_EQ(port_name_less(names[i].c_str(), names[j].c_str()), i < j)
          << "\"" << names[i] << "\" < \"" << names[j] << "\"";
    }
  }
}

}  // namespace
