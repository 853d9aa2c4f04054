// Replays a fuzz target's corpus without libFuzzer, so any compiler builds it and the quick
// suite checks every input the corpus holds: each file in the given folders, in name order,
// is handed to the target once. A check that fails aborts, as under the fuzzer.
// Usage: replay-TARGET DIR|FILE ...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Defined by the targets that set something up first; weak, so the others link without it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

// Adds `path`, or the regular files in it, to `files`. Returns true when it is neither.
bool collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& files) {
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) {
    files.push_back(path);
    return false;
  }
  if (!std::filesystem::is_directory(path, error)) {
    return true;
  }
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    if (entry.is_regular_file(error)) {
      files.push_back(entry.path());
    }
  }
  return static_cast<bool>(error);
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) {
    LLVMFuzzerInitialize(&argc, &argv);
  }
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (collect(argv[i], files)) {
      std::fprintf(stderr, "replay: %s: not a file or folder\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fputs("replay: no input to replay\n", stderr);
    return 2;  // a corpus that went missing must not pass as replayed
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    std::fprintf(stderr, "replay: %s\n", file.c_str());  // names the input a failed check broke
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
  return 0;
}
