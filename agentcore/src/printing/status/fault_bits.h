#pragma once
// The decoders' tables of fault bits: a printer's (or spooler's) status
// bits read in a fixed order, the first one set naming the fault.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "printing/status/printer_status.h"

namespace zunel {

struct FaultBit {
  std::uint32_t mask;
  PrinterFault fault;
};

// The first fault whose bit is set in `bits`, in the order given.
template <std::size_t N>
std::optional<PrinterFault> first_fault(std::uint32_t bits, const std::array<FaultBit, N>& table) {
  for (const FaultBit& f : table) {
    if ((bits & f.mask) != 0) return f.fault;
  }
  return std::nullopt;
}

// The error byte of ESC/POS (the reply to DLE EOT 3) and of Star (byte 4
// of the automatic status block): both printers set the same bits for the
// same faults, the unrecoverable one first.
inline constexpr std::array<FaultBit, 4> PRINTER_ERROR_BITS{{{0x20, PrinterFault::Unrecoverable},
                                                              {0x08, PrinterFault::Cutter},
                                                              {0x04, PrinterFault::Mechanical},
                                                              {0x40, PrinterFault::AutoRecoverable}}};

}  // namespace zunel
