#include "fake_seams.h"

#include <cstddef>

#include "link/clock/clock.h"
#include "link/port/serial_link.h"
#include "setup/key_input.h"

namespace {
std::vector<int> g_keys;
std::size_t g_next_key = 0;
std::vector<std::pair<std::uint32_t, std::uint8_t>> g_arrivals;
std::size_t g_next_arrival = 0;
std::uint32_t g_start = 0;
std::uint32_t g_now = 0;
std::uint32_t g_keys_from = 0;
std::uint32_t g_flood_left = 0;
}  // namespace

namespace fake {
void set_keys(const std::vector<int>& keys, std::uint32_t from) {
  g_keys = keys;
  g_next_key = 0;
  g_keys_from = from;
}
void set_arrivals(const Bursts& bursts) {
  g_arrivals.clear();
  for (const auto& [at, bytes] : bursts) {
    for (const char byte : bytes) {
      g_arrivals.emplace_back(at, static_cast<std::uint8_t>(byte));
    }
  }
  g_next_arrival = 0;
}
void set_flood(std::uint32_t bytes) {
  g_flood_left = bytes;
}
void reset_clock(std::uint32_t start) {
  g_start = g_now = start;
}
std::uint32_t elapsed() {
  return g_now - g_start;
}
}  // namespace fake

bool key_waiting() {
  return g_next_key < g_keys.size() && g_now - g_start >= g_keys_from;
}
int read_key() {
  return g_keys[g_next_key++];
}
bool wait_for_key() {
  return key_waiting();
}

PortFit ready_port_for_attempt(PortHandle& port) {
  return port == kInvalidPort ? PortFit::kMissing : PortFit::kReady;
}
void write_byte(PortHandle, std::uint32_t pause, std::uint8_t) {
  pause_ms(pause);
}
bool read_byte(PortHandle, std::uint8_t& byte_out) {
  if (g_flood_left > 0) {
    --g_flood_left;
    ++g_now;
    byte_out = '#';
    return false;
  }
  if (g_next_arrival < g_arrivals.size() && g_arrivals[g_next_arrival].first <= g_now - g_start) {
    byte_out = g_arrivals[g_next_arrival++].second;
    return false;
  }
  return true;
}
void wait_for_byte(PortHandle, std::uint32_t timeout_ms) {
  std::uint32_t until = g_now - g_start + timeout_ms;
  if (g_next_arrival < g_arrivals.size() && g_arrivals[g_next_arrival].first < until) {
    until = g_arrivals[g_next_arrival].first;
  }
  if (until > g_now - g_start) {
    g_now = g_start + until;
  }
}
std::uint32_t tick_ms() {
  return g_now;
}
void sleep_ms(std::uint32_t ms) {
  g_now += ms;
}
