#pragma once
// Spooler output: one RAW job of one document and one page, the bytes in a
// single write.

#include <cstdint>
#include <span>
#include <string>

#include "base/outcome.h"
#include "printing/spooler.h"

namespace zunel {

// The job's document name and data type (RAW: no driver processing).
inline constexpr const char* SPOOLER_DOCUMENT_NAME = "Zunel";
inline constexpr const char* SPOOLER_DATA_TYPE = "RAW";

// Errors, {code} being the spooler's code for the call named:
//   "OpenPrinter('{printer}') falló (Win32 err {code})"   nothing else called
//   "StartDocPrinter falló (Win32 err {code})"            printer closed
//   "StartPagePrinter falló (Win32 err {code})"           printer closed, document not ended
//   "WritePrinter falló (Win32 err {code})"               page and document ended, printer closed
//   "WritePrinter escribió {written}/{total} bytes"       likewise; a short write is not retried
[[nodiscard]] Status send_winspool(Spooler& spooler, const std::string& printer,
                                   std::span<const std::uint8_t> bytes);

// The same, giving the spooler's id of the job it spooled.
[[nodiscard]] Outcome<std::uint32_t> spool_winspool_job(Spooler& spooler, const std::string& printer,
                                   std::span<const std::uint8_t> bytes);

}  // namespace zunel
