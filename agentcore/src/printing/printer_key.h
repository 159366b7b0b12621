#pragma once
// Which printer a target reaches, as one text for every spelling that the
// platform takes to mean that printer. Jobs with one key never overlap.

#include <optional>
#include <string>

#include "printing/print_target.h"

namespace zunel {

// network: "tcp:" + the host in ASCII lower case + ":" + the port (a name and
// its address stay two keys: the agent does not resolve to compare);
// serial: "serial:" + the port as the channel opens it (on Windows in the
// device namespace and in upper case, so COM5, com5 and \\.\COM5 are one);
// spooler: "spooler:" + the printer name (on Windows in upper case, as the
// spooler compares names without case). Nothing for a USB target, which
// reaches no printer.
std::optional<std::string> printer_key(const PrintTarget& target);

// The platform's part: a serial port name and a spooler printer name in the
// one form that stands for every spelling of it.
std::string serial_port_key(const std::string& port);
std::string spooler_printer_key(const std::string& printer);

}  // namespace zunel
