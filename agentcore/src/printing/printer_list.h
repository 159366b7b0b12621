#pragma once
// The printers the system's spooler knows, and their JSON form (which the
// printers endpoint answers inside {"printers":LIST}).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zunel {

// One spooler printer. For spooler printers the ids are always 0 and
// `manufacturer` and `serial` always absent; they keep the entry's form.
struct PrinterInfo {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::optional<std::string> manufacturer;
  // The spooler's name for the printer, as a "winspool" target takes it;
  // absent when the spooler gives no name or an empty one.
  std::optional<std::string> product;
  std::optional<std::string> serial;
  // Set to work offline (paused), not merely switched off.
  bool offline = false;
  bool operator==(const PrinterInfo&) const = default;
};

// The list as a compact JSON array, each entry an object with its keys in
// ascending byte order: "manufacturer", "offline", "product", "product_id",
// "serial", "vendor_id". The list's order is kept.
std::string printer_list_json(const std::vector<PrinterInfo>& printers);

}  // namespace zunel
