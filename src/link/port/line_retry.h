// How the Windows serial link sets the line when a driver is strict about XonChar and XoffChar.
// Plain code, so that the decision is tested on a stand-in driver on every platform.
#pragma once

#include <cstdint>

// The start and stop characters of software flow control, which stays off either way.
struct FlowChars {
  std::uint8_t xon;
  std::uint8_t xoff;
};

// First the line settings' own values (both 0); some drivers refuse a DCB whose two are equal,
// as SetCommState is documented to, so the second try gives them DC1 and DC3.
constexpr FlowChars kFlowCharTries[] = {{0, 0}, {17, 19}};

// Calls refused(chars) with each try's characters until one is accepted: `refused` applies the
// settings and returns true (failure) when the driver refused them. Returns true when every try
// was refused. The second try is made only after the first was refused.
template <typename Refused>
bool set_line_with_retry(Refused refused) {
  for (const FlowChars& chars : kFlowCharTries) {
    if (!refused(chars)) {
      return false;
    }
  }
  return true;
}
