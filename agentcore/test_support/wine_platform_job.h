#pragma once
// The job the Windows platform tests send under Wine and the driver,
// wine_platform_test.py, checks at the far end (a pseudo-terminal for the
// serial port, a loopback listener behind the spooler's queue): every byte
// value, 64 times, in an order that is not a plain count.

#include <cstdint>
#include <vector>

namespace zunel::testing {

inline std::vector<std::uint8_t> wine_platform_job() {
  std::vector<std::uint8_t> bytes(256 * 64);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 256 ^ i / 256);
  return bytes;
}

}  // namespace zunel::testing
