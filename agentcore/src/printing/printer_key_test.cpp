#include "printing/printer_key.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

std::optional<std::string> network_key(const std::string& host, std::uint16_t port = 9100) {
  return printer_key(PrintTarget{PrintTarget::Network{host, port}});
}

TEST(PrinterKey, EverySpellingOfOneNetworkPrinterIsOneKey) {
  const struct {
    const char* host;
    const char* key;
  } rows[] = {
      {"127.0.0.1", "tcp:127.0.0.1:9100"},
      {"127.1", "tcp:127.0.0.1:9100"},
      {"127.000.000.001", "tcp:127.0.0.1:9100"},
      {"0x7f.1", "tcp:127.0.0.1:9100"},
      {"localhost", "tcp:127.0.0.1:9100"},
      {"LocalHost", "tcp:127.0.0.1:9100"},
      {"::1", "tcp:::1:9100"},
      {"0:0:0:0:0:0:0:1", "tcp:::1:9100"},
      {"FE80:0:0::A", "tcp:fe80::a:9100"},
      // Names are not resolved: one name in any case is one key, and a name
      // and its address are two.
      {"Printer.Shop.Example", "tcp:printer.shop.example:9100"},
      {"printer.shop.example", "tcp:printer.shop.example:9100"},
  };
  for (const auto& row : rows) EXPECT_EQ(network_key(row.host), row.key) << row.host;
  EXPECT_NE(network_key("127.0.0.1", 9100), network_key("127.0.0.1", 9101));
  EXPECT_EQ(printer_key(PrintTarget{PrintTarget::Usb{1, 2}}), std::nullopt);
}

}  // namespace
}  // namespace zunel
