#pragma once
// The print spooler's job calls, one to one with winspool's OpenPrinterW,
// StartDocPrinterW (level 1), StartPagePrinter, WritePrinter,
// EndPagePrinter, EndDocPrinter, ClosePrinter, GetPrinterW (level 2),
// GetJobW (level 1) and
// kernel32's GetLastError. On Windows they are those calls; elsewhere a
// CUPS server stands in.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zunel {

// An open printer, as the spooler gave it; opaque to the channel logic.
using SpoolerHandle = std::uintptr_t;

// What the Windows spooler says of a printer: PRINTER_INFO_2's Status and
// Attributes bits and its job count (cJobs), as they are.
struct WinspoolPrinterReport {
  std::uint32_t status = 0;
  std::uint32_t attributes = 0;
  std::uint32_t jobs = 0;
  bool operator==(const WinspoolPrinterReport&) const = default;
};

// What a CUPS server says of a queue: printer-state (3 idle, 4 processing,
// 5 stopped), printer-state-reasons as given ("none" included), and
// queued-job-count.
struct CupsPrinterReport {
  int state = 0;
  std::vector<std::string> reasons;
  std::uint32_t jobs = 0;
  bool operator==(const CupsPrinterReport&) const = default;
};

// The report of this OS's spooler; the status logic maps either kind.
using SpoolerPrinterReport = std::variant<WinspoolPrinterReport, CupsPrinterReport>;

// What the Windows spooler says of one job: whether GetJobW still finds it
// (a job that has left the queue is not found) and JOB_INFO_1's Status bits.
struct WinspoolJobReport {
  bool found = false;
  std::uint32_t status = 0;
  bool operator==(const WinspoolJobReport&) const = default;
};

// What a CUPS server says of one job: job-state (3 pending, 4 held,
// 5 processing, 6 stopped, 7 canceled, 8 aborted, 9 completed).
struct CupsJobReport {
  int state = 0;
  bool operator==(const CupsJobReport&) const = default;
};

using SpoolerJobReport = std::variant<WinspoolJobReport, CupsJobReport>;

// The most reasons a CUPS report keeps; a queue has a handful at most.
inline constexpr std::size_t SPOOLER_MAX_REASONS = 16;

class Spooler {
 public:
  virtual ~Spooler() = default;
  // Each call returns whether it succeeded; after a failure last_error()
  // gives its code. Names are UTF-8 here and reach the system as UTF-16.
  virtual bool open_printer(const std::string& name, SpoolerHandle& handle) = 0;
  // One document with no output file and the given data type; `job_id`
  // is the spooler's id of the job it begins.
  virtual bool start_doc(SpoolerHandle handle, const std::string& document_name, const std::string& data_type,
                         std::uint32_t& job_id) = 0;
  virtual bool start_page(SpoolerHandle handle) = 0;
  virtual bool write(SpoolerHandle handle, const std::uint8_t* data, std::uint32_t size,
                     std::uint32_t& written) = 0;
  virtual bool end_page(SpoolerHandle handle) = 0;
  virtual bool end_doc(SpoolerHandle handle) = 0;
  virtual bool close_printer(SpoolerHandle handle) = 0;
  // The printer's current state, as the spooler knows it (not the device's:
  // the spooler learns of the device only while it sends it a job).
  virtual bool get_printer(SpoolerHandle handle, SpoolerPrinterReport& report) = 0;
  // The state of job `job_id` of the printer (GetJobW level 1; CUPS:
  // Get-Job-Attributes). A job the Windows spooler no longer holds is
  // reported as not found, not as a failure.
  virtual bool get_job(SpoolerHandle handle, std::uint32_t job_id, SpoolerJobReport& report) = 0;
  virtual std::uint32_t last_error() = 0;
};

// The real spooler of this OS (on POSIX: the CUPS server that CUPS_SERVER or
// the client configuration names); lives for the whole process.
Spooler& system_spooler();

}  // namespace zunel
