// The harness's own deadlines: a tool or a unit that will not end is ended, with whatever it
// started, and the test is told instead of hanging.
#include "harness.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace e2e {
namespace {

// Gone, or a zombie that only waits for whoever inherited it; false if still running at the
// deadline.
bool ends(pid_t pid) {
  for (const auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(30);) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.find(") Z ") != std::string::npos) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

// Runs the body with the tool and the unit replaced by other programs, then puts them back.
struct Programs {
  Programs(const std::string& tool, const std::string& sim)
      : tool_was(tool_path()), sim_was(sim_path()) {
    set_programs(tool, sim);
  }
  ~Programs() { set_programs(tool_was, sim_was); }
  std::string tool_was, sim_was;
};

TEST(HarnessDeadlines, ToolThatDoesNotEndIsKilledWithWhatItStarted) {
  if (getenv("QUORVEL_TEST_TOOL") != nullptr || getenv("QUORVEL_TEST_WRAPPER") != nullptr) {
    GTEST_SKIP() << "the tool is chosen from outside";
  }
  const Programs shell("/bin/sh", sim_path());
  Tool tool;
  tool.errors = Errors::kOwn;
  // A child of its own in the background, holding the output pipes, as a wrapper's would. The
  // keys come from a pipe: with no controlling terminal no hang-up ends that child for us.
  Options options;
  options.keyboard = Keyboard::kPipe;
  ASSERT_FALSE(start_tool(tool, {"-c", "sleep 600 & echo $!; exec sleep 600"}, options));
  ASSERT_TRUE(wait_output(tool, "\n"));
  const pid_t child = static_cast<pid_t>(std::stol(tool.out));
  EXPECT_EQ(wait_exit(tool, 500), -1);
  EXPECT_TRUE(ends(child)) << child;
}

TEST(HarnessDeadlines, UnitThatIgnoresSigtermIsKilledAndTheTestIsTold) {
  char dir[] = "/tmp/quorvel-harness-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string script = std::string(dir) + "/stubborn-unit";
  {
    // Says where it serves, as the simulated unit does, then ignores SIGTERM for good.
    std::ofstream out(script);
    out << "#!/bin/sh\ntrap '' TERM\necho \"$2\"\nexec sleep 600\n";
  }
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  {
    const Programs stubborn(tool_path(), script);
    Unit unit;
    ASSERT_FALSE(start_unit(unit));
    const pid_t pid = unit.pid;
    EXPECT_NONFATAL_FAILURE(stop_unit(unit, 500), "did not end");
    EXPECT_TRUE(ends(pid));
  }
  unlink(script.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace e2e
