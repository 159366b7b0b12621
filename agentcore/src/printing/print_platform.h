#pragma once
// The platform services printing reaches, passed in so that tests can hand
// in their own.

#include "printing/job_pace.h"
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
  // The pace a network printer must keep.
  PaceFloor network_pace = TCP_PACE_FLOOR;
};

// The real services of this OS; they live for the whole process. A test
// build (test_hooks_enabled()) whose environment has
// ZUNEL_TEST_PACE_SCALE=N (2 to 100) asks network printers for N times the
// floor over a window N times shorter: a stand-in reading N times faster
// than a slow printer then meets the floor as that printer would, in a
// fraction of its time.
PrintPlatform& system_print_platform();

}  // namespace zunel
