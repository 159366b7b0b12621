#pragma once
// The platform services printing reaches, passed in so that tests can hand
// in their own.

#include "printing/printer_directory.h"
#include "printing/serial_port.h"
#include "printing/spooler.h"
#include "printing/tcp_network.h"

namespace zunel {

struct PrintPlatform {
  TcpNetwork& network;
  SerialPorts& serial_ports;
  Spooler& spooler;
  PrinterDirectory& printers;
};

// The real services of this OS; they live for the whole process.
PrintPlatform& system_print_platform();

}  // namespace zunel
