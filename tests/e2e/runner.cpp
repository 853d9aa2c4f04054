// Replays the end-to-end cases of tests/e2e/*.cases: the real tool against the simulated unit,
// each case one test. A case is a list of lines, a word and its text:
//   setup:   unit OPTIONS (the unit's own), args WORDS (@unit: its port, "" an empty word),
//            time CLOCK (the PC's), pipe (keys from a pipe), keys TEXT (the keyboard a file
//            holding TEXT), nobody, shell SCRIPT (a bash with job control runs the tool as
//            "$@"), lock NAME TEXT (@live, @dead: a PID), chmod MODE (of the port; the lock
//            folder then only root's), hold [flock] (another program has the port open), wine
//   actions: after TEXT (output holds it), type KEYS, close (the keys' pipe), closeout (the
//            output pipe), kill SIGNAME, modes (the terminal's as found), held (the run's lock
//            is there), logwait TEXT (the unit's log holds it), replug OPTIONS (the unit hangs
//            up, a new one comes on its link)
//   checks:  > LINE (the whole output, or with ends its end; >| without a line end; @NAME: a
//            def's lines), status N, err LINE (default: none), err~ TEXT (the one line holds
//            it), has TEXT, count N TEXT, wire BYTES (| for CR), state TEXT (the unit's last),
//            log TEXT, nolog TEXT, port SETTINGS (every "port:" line the unit logged, in order),
//            gap MS (between the lines it executed), cpu MS (the most the run may use)
// "def NAME" then "> " lines names output shared by cases. "row A | B ..." lines make a table:
// the case once per row, its $1, $2 ... standing for A, B ... Texts take \r \n \e \t \xNN \s.
// The keyboard terminal's modes must be as found after every run. QUORVEL_TEST_WINE set: only
// the cases marked wine run, keys from a pipe, with the unit behind COM5 of the Wine prefix (set
// to 32: only those that do not fix the PC's clock).
#include <gtest/gtest.h>
#include <sys/file.h>

#include <fstream>
#include <list>
#include <map>
#include <set>

#include "harness.h"  // the rest of what this file uses, from the C library to std::filesystem

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;
std::map<std::string, Lines> g_defs;  // named output, spliced into the cases that name it
std::string g_port;                   // what @unit stands for in this case
const bool g_wine = getenv("QUORVEL_TEST_WINE") != nullptr;
// libfaketime cannot fix the clock of 32-bit Wine, which reads it through the 64-bit time calls.
const bool g_clock_fixable = !g_wine || std::string(getenv("QUORVEL_TEST_WINE")) != "32";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string unescape(const std::string& raw) {
  const std::string text =
      replace_all(replace_all(raw, "@unit", g_port), "@tool", e2e::programs().tool);
  const std::string known = "rnetsb\\x";  // \xNN last
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t kind = text[i] == '\\' ? known.find(text[i + 1]) : std::string::npos;
    out += kind == std::string::npos ? text[i]
           : kind == 7 ? static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16))
                       : "\r\n\x1b\t \b\\"[kind];
    i += kind == std::string::npos ? 0 : kind == 7 ? 3 : 1;
  }
  return out;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out(std::istream_iterator<std::string>(in), {});
  const auto word = [](const std::string& w) { return w == "\"\"" ? "" : unescape(w); };
  std::transform(out.begin(), out.end(), out.begin(), word);
  return out;
}

std::pair<std::string, std::string> split(const std::string& line) {
  const std::size_t cut = line.find(' ');
  return {line.substr(0, cut), cut == std::string::npos ? "" : line.substr(cut + 1)};
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lock folder's files, one "PATH: CONTENT" a line (a lock file's PID line ends it).
std::string locks(const std::string& dir) {
  std::string all;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    all += file.path().string() + ": " + replace_all(slurp(file.path()), "\n", " ") + "\n";
  }
  return all;
}

void run_case(const Lines& lines) {
  // A word misspelt would drop its check without a sound.
  static const std::set<std::string> kWords = {
      "unit",    "args",   "time",  "pipe", "keys",  "nobody",   "shell", "lock",  "chmod",
      "hold",    "wine",   "after", "type", "close", "closeout", "kill",  "modes", "held",
      "logwait", "replug", ">",     ">|",   "ends",  "status",   "err",   "err~",  "has",
      "count",   "wire",   "state", "log",  "nolog", "port",     "gap",   "cpu",   "row"};
  for (const auto& line : lines) {
    ASSERT_EQ(kWords.count(line.first), 1U) << "no such word in a case: " << line.first;
  }
  // Each word's first text; text_of gives "" for a word the case has not.
  const std::map<std::string, std::string> the(lines.begin(), lines.end());
  const auto text_of = [&](const char* verb) { return the.count(verb) != 0 ? the.at(verb) : ""; };
  std::list<e2e::Unit> units(1);  // the first, then one more for each replug
  e2e::Unit& first = units.front();
  const std::string link = g_wine ? std::string(getenv("WINEPREFIX")) + "/dosdevices/com5" : "";
  ASSERT_FALSE(e2e::start_unit(first, words(text_of("unit")), link));
  g_port = g_wine ? "COM5" : first.port;
  const std::string keys = the.count("keys") != 0             ? first.dir + "/keys"
                           : the.count("pipe") != 0 || g_wine ? "pipe"  // Wine's console: a pipe
                                                              : "";
  // The keyboard, the clock, the lock folder, the shell and the user.
  const e2e::Options options{keys, text_of("time"), first.dir + "/locks", text_of("shell"),
                             the.count("nobody") != 0};
  mkdir(options.lock_dir.c_str(), 0755);
  chmod(options.lock_dir.c_str(), 01777);  // as the system's, which anyone may write
  int holder = -1;                         // another program's descriptor on the port
  for (const auto& [verb, text] : lines) {
    const auto [name, content] = split(text);
    if (verb == "keys") {
      std::ofstream(options.keys) << unescape(text);
    } else if (verb == "lock") {
      const pid_t gone = content == "@live" ? getpid() : fork();
      ASSERT_GE(gone, 0);
      if (gone == 0) {
        _exit(0);
      }
      waitpid(gone, nullptr, 0);  // a PID nothing holds now
      std::array<char, 16> pid{};
      std::snprintf(pid.data(), pid.size(), "%10d\n", static_cast<int>(gone));
      std::ofstream(options.lock_dir + "/" + name)
          << (content[0] == '@' ? std::string(pid.data()) : unescape(content));
    } else if (verb == "chmod") {
      chmod(first.path.c_str(), static_cast<mode_t>(std::stoi(text, nullptr, 8)));
      chmod(options.lock_dir.c_str(), 0755);
    } else if (verb == "hold") {
      holder = open(first.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (text == "flock") {
        flock(holder, LOCK_EX | LOCK_NB);
      }
    }
  }
  // The locks planted, as they are before the run; the run may take a stale one away, and must
  // leave nothing else (under a shell the tool's PID is not the one started).
  const std::string planted = locks(options.lock_dir);
  e2e::Tool tool;
  ASSERT_FALSE(e2e::start_tool(tool, words(text_of("args")), options));
  std::size_t mark = 0;
  for (const auto& [verb, text] : lines) {
    if (verb == "after") {
      ASSERT_TRUE(e2e::wait_output(tool, unescape(text), mark, e2e::kDeadlineMs, &units.back()))
          << "no \"" << text << "\" in:\n"
          << tool.out << tool.err;
      mark = tool.out.find(unescape(text), mark) + unescape(text).size();
    } else if (verb == "type") {
      EXPECT_FALSE(e2e::type(tool, unescape(text)));
    } else if (verb == "close" || verb == "closeout") {  // the keys' pipe, the output's
      int& fd = verb == "close" ? tool.keys_fd : tool.out_fd;
      close(fd);
      fd = -1;
    } else if (verb == "kill") {
      int number = 1;
      while (number < NSIG && (sigabbrev_np(number) == nullptr || text != sigabbrev_np(number))) {
        ++number;
      }
      kill(tool.pid, number);
    } else if (verb == "modes") {
      EXPECT_TRUE(e2e::modes_restored(tool)) << "the terminal's modes were not given back";
    } else if (verb == "held") {
      EXPECT_NE(locks(options.lock_dir), planted) << "the run holds no lock";
    } else if (verb == "logwait") {
      ASSERT_TRUE(e2e::wait_log(units.back(), unescape(text))) << units.back().log;
    } else if (verb == "replug") {  // once the unit has ended and the tool has said so
      ASSERT_TRUE(e2e::wait_log(units.back(), "final: ")) << units.back().log;
      e2e::until(&tool, nullptr, e2e::kDeadlineMs, [&] { return !tool.err.empty(); });
      ASSERT_FALSE(e2e::start_unit(units.emplace_back(), words(text), first.path));
    }
  }
  e2e::Unit& unit = units.back();
  const int status = e2e::wait_exit(tool, e2e::kDeadlineMs, &unit);
  close(holder);
  // Nothing of the run's left behind: no lock of its own, the port not left exclusive.
  std::istringstream after(locks(options.lock_dir));
  for (std::string left; std::getline(after, left);) {
    EXPECT_NE(planted.find(left), std::string::npos) << "left behind: " << left;
  }
  const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int exclusive = 0;
  // Not there only when the unit took its link away; any other failure to open is a fault.
  EXPECT_TRUE(fd < 0 ? errno == ENOENT : ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0);
  close(fd);
  if (tool.slave_fd >= 0 && the.count("shell") == 0) {
    EXPECT_TRUE(e2e::modes_restored(tool)) << "the terminal's modes were not given back";
  }
  const auto is_port = [](const auto& line) { return line.first == "port"; };
  e2e::wait_log(unit, "port: ", std::count_if(lines.begin(), lines.end(), is_port),
                e2e::kDeadlineMs);
  std::string wire;
  for (auto& each : units) {
    e2e::stop_unit(each);
    wire += slurp(each.dir + "/wire");
  }
  std::string logged;  // the "port:" lines the unit logged, and those it is to log
  for (auto at = unit.log.find("port: "); at != std::string::npos;
       at = unit.log.find("port: ", at + 1)) {
    logged += unit.log.substr(at, unit.log.find('\n', at) + 1 - at);
  }
  const std::string out = g_wine ? replace_all(tool.out, "\r\n", "\n") : tool.out;
  const std::string err = g_wine ? replace_all(tool.err, "\r\n", "\n") : tool.err;
  std::string expected, ports;
  for (const auto& [verb, text] : lines) {
    expected += verb == ">" ? unescape(text) + "\n" : verb == ">|" ? unescape(text) : "";
    ports += verb == "port" ? "port: " + text + "\n" : "";
    if (verb == "has") {
      EXPECT_NE(out.find(unescape(text)), std::string::npos) << text << " not in:\n" << out;
    } else if (verb == "count") {
      const std::string what = unescape(split(text).second);
      EXPECT_EQ(e2e::occurrences(out, what), std::atoi(text.c_str())) << what << " in:\n" << out;
    } else if (verb == "wire") {  // a unit held up past the run's end may have its last CR
      // answered as CR LF by the line given back with echo, and answer that: not the run's bytes
      const std::string want = unescape(replace_all(text, "|", "\r"));
      // Where nothing is to be sent, nothing may come back either.
      EXPECT_EQ(want.empty() ? wire : std::regex_replace(wire, std::regex("(\r\n)+$"), ""), want);
    } else if (verb == "state") {
      EXPECT_EQ(unit.log.substr(unit.log.rfind("final: ") + 7), text + "\n") << unit.log;
    } else if (verb == "log" || verb == "nolog") {
      EXPECT_EQ(unit.log.find(unescape(text)) != std::string::npos, verb == "log") << unit.log;
    } else if (verb == "cpu") {
      const auto ms = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
      EXPECT_LE(ms(tool.usage.ru_utime) + ms(tool.usage.ru_stime), std::atoi(text.c_str()));
    } else if (verb == "gap") {  // the mean: a line read late on a loaded machine shifts one gap
      const auto& at = unit.line_times;
      EXPECT_TRUE(at.size() >= 2 && (at.back() - at.front()) / (at.size() - 1) >=
                                        std::chrono::milliseconds(std::atoi(text.c_str()) * 4 / 5))
          << unit.log;
    }
  }
  EXPECT_EQ(status, std::atoi(text_of("status").c_str()));
  const std::size_t tail = std::min(out.size(), expected.size());  // with ends: how it ends
  if (the.count(">") + the.count(">|") != 0) {
    EXPECT_EQ(the.count("ends") != 0 ? out.substr(out.size() - tail) : out, expected);
  }
  if (the.count("err~") != 0) {
    EXPECT_NE(err.find(unescape(text_of("err~"))), std::string::npos) << err;
    EXPECT_EQ(e2e::occurrences(err, "\n"), 1) << err;
  } else {
    EXPECT_EQ(err, the.count("err") != 0 ? unescape(text_of("err")) + "\n" : "");
  }
  if (g_wine && e2e::occurrences(logged, "\n") > 1) {
    logged.resize(logged.find('\n') + 1);  // a DCB given back holds no terminal modes: only
    ports.resize(std::min(ports.size(), ports.find('\n') + 1));  // the run's are compared
  }
  EXPECT_TRUE(ports.empty() || logged == ports) << logged;
  if (testing::Test::HasFailure()) {
    ADD_FAILURE() << "output:\n" << tool.out << tool.err << "\nunit:\n" << unit.log;
  }
}

struct Replay : testing::Test {
  explicit Replay(Lines lines) : lines_(std::move(lines)) {}
  void TestBody() override {
    const auto is_row = [](const auto& line) { return line.first == "row"; };
    if (std::none_of(lines_.begin(), lines_.end(), is_row)) {
      return run_case(lines_);
    }
    for (const auto& [verb, row] : lines_) {  // a table: the case once per row
      Lines one;
      for (const auto& [word, text] : lines_) {
        std::string line = word + (text.empty() ? "" : " ") + text;
        for (std::size_t n = 1, from = 0; from <= row.size(); ++n) {  // $1, $2 ... its parts
          const std::size_t cut = std::min(row.find(" | ", from), row.size());
          line = replace_all(line, "$" + std::to_string(n), row.substr(from, cut - from));
          from = cut + 3;
        }
        one.push_back(split(line));
      }
      if (verb == "row") {
        SCOPED_TRACE(row);
        run_case(one);
      }
    }
  }
  Lines lines_;
};

void register_file(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::list<std::pair<std::string, Lines>> cases;
  Lines* into = nullptr;  // the case or the def being read
  for (std::string line; std::getline(in, line);) {
    const auto [verb, text] = split(line);
    if (verb == "def" || verb == "case") {
      into = verb == "def" ? &g_defs[text] : &cases.emplace_back(text, Lines{}).second;
    } else if (!verb.empty() && verb[0] != '#') {
      if (into == nullptr || (verb[0] == '@' && g_defs.count(verb.substr(1)) == 0)) {
        std::fprintf(stderr, "%s: %s: no case or def\n", file.c_str(), verb.c_str());
        std::exit(1);
      }
      const Lines one = verb[0] == '@' ? g_defs[verb.substr(1)] : Lines{{verb, text}};
      into->insert(into->end(), one.begin(), one.end());
    }
  }
  for (auto& [name, lines] : cases) {
    const std::string id = std::regex_replace(name, std::regex("[^A-Za-z0-9]"), "_");
    const auto has = [&](const char* word) {
      return std::any_of(lines.begin(), lines.end(),
                         [&](const auto& l) { return l.first == word; });
    };
    if ((!g_wine || has("wine")) && (g_clock_fixable || !has("time"))) {
      testing::RegisterTest(file.stem().c_str(), id.c_str(), nullptr, nullptr, file.c_str(), 0,
                            [lines = lines]() -> testing::Test* { return new Replay(lines); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::filesystem::directory_iterator dir(QUORVEL_CASES_DIR);
  for (const auto& file : std::set<std::filesystem::path>(begin(dir), end(dir))) {  // by name
    if (file.extension() == ".cases") {
      register_file(file);
    }
  }
  return RUN_ALL_TESTS();
}
