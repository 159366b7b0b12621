#pragma once
// Which printer a target reaches, as one text for every spelling that the
// platform takes to mean that printer. Jobs with one key never overlap.

#include <optional>
#include <string>

#include "printing/print_target.h"

namespace zunel {

// network: "tcp:" + the host + ":" + the port. An address, in any form the
// system's numeric parser takes (IPv4 127.1, 127.000.000.001, 0x7f.1; IPv6
// in any spelling), is keyed in its one canonical text (127.0.0.1, ::1);
// "localhost" as 127.0.0.1, as the hosts file names it; any other name in
// ASCII lower case. A name and its address stay two keys (two queues for
// one printer): nothing is resolved to build a key;
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
// The canonical text of a numeric host (the system's getaddrinfo with
// AI_NUMERICHOST, then getnameinfo with NI_NUMERICHOST: no lookup); nothing
// for a name.
std::optional<std::string> numeric_host_text(const std::string& host);

}  // namespace zunel
