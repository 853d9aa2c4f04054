// Fuzzes the -t, -d, -1 and -2 texts: the input is the text. Checked: what is accepted is in
// range, accepted values written out again in their plain form read back the same, and what is
// refused leaves one reason line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "plain_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // up to a NUL, as typed
  for (const char format : {'t', 'd', 'o'}) {
    const std::string plain = plain_fields(format, text.c_str());
    FUZZ_CHECK(plain.empty() || plain_fields(format, plain.c_str()) == plain);
  }
  return 0;
}
