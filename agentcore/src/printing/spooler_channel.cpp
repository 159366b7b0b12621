#include "printing/spooler_channel.h"

#include <limits>

#include "printing/spooler_printer.h"

namespace zunel {
namespace {

Error call_failed(const char* call, std::uint32_t code) {
  return fail(std::string(call) + " falló (Win32 err " + std::to_string(code) + ")");
}

}  // namespace

Status send_winspool(Spooler& spooler, const std::string& printer, std::span<const std::uint8_t> bytes) {
  auto job = spool_winspool_job(spooler, printer, bytes);
  if (!job) return fail(job.error());
  return {};
}

Outcome<std::uint32_t> spool_winspool_job(Spooler& spooler, const std::string& printer,
                                          std::span<const std::uint8_t> bytes) {
  // The spooler counts bytes in 32 bits: a larger job would go out cut short.
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail("WritePrinter no admite trabajos de " + std::to_string(bytes.size()) + " bytes");
  }
  const auto total = static_cast<std::uint32_t>(bytes.size());

  const SpoolerPrinter opened(spooler, printer);
  if (!opened.is_open()) {
    return fail("OpenPrinter('" + printer + "') falló (Win32 err " + std::to_string(spooler.last_error()) + ")");
  }
  const SpoolerHandle handle = opened.handle();
  std::uint32_t job_id = 0;
  if (!spooler.start_doc(handle, SPOOLER_DOCUMENT_NAME, SPOOLER_DATA_TYPE, job_id)) {
    return call_failed("StartDocPrinter", spooler.last_error());
  }
  if (!spooler.start_page(handle)) return call_failed("StartPagePrinter", spooler.last_error());
  std::uint32_t written = 0;
  const bool wrote = spooler.write(handle, bytes.data(), total, written);
  // Taken at once, before the calls below can overwrite it.
  const std::uint32_t write_error = wrote ? 0 : spooler.last_error();
  spooler.end_page(handle);
  spooler.end_doc(handle);
  if (!wrote) return call_failed("WritePrinter", write_error);
  if (written != total) {
    return fail("WritePrinter escribió " + std::to_string(written) + "/" + std::to_string(total) + " bytes");
  }
  return job_id;
}

}  // namespace zunel
