// Replays a fuzz target's corpus without libFuzzer, so any compiler builds it and the quick
// suite checks every input the corpus holds, in name order. A check that fails aborts, as under
// the fuzzer. Usage: replay-TARGET DIR
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::error_code error;
  const std::filesystem::directory_iterator dir(argc > 1 ? argv[1] : "", error);
  const std::set<std::filesystem::path> files(begin(dir), end(dir));
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::fprintf(stderr, "replay: %s\n", file.c_str());  // names the input a failed check broke
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
  return files.empty() ? 2 : 0;  // a corpus that went missing must not pass as replayed
}
