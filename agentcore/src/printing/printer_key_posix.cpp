#include "printing/printer_key.h"

namespace zunel {

// Device paths and CUPS queue names are compared exactly.
std::string serial_port_key(const std::string& port) { return port; }
std::string spooler_printer_key(const std::string& printer) { return printer; }

}  // namespace zunel
