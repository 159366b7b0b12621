#include "printing/spooler.h"

#include <windows.h>
#include <winspool.h>

#include <vector>

#include "base/utf8.h"

namespace zunel {
namespace {

HANDLE as_handle(SpoolerHandle h) { return reinterpret_cast<HANDLE>(h); }

std::wstring wide(const std::string& text) {
  const std::u16string u16 = utf8_to_utf16(text);
  return std::wstring(u16.begin(), u16.end());
}

class WinSpooler final : public Spooler {
 public:
  bool open_printer(const std::string& name, SpoolerHandle& handle) override {
    // The system would read the name only up to a NUL: that printer is not the one named.
    if (name.find('\0') != std::string::npos) {
      ::SetLastError(ERROR_INVALID_PRINTER_NAME);
      return false;
    }
    std::wstring printer = wide(name);
    HANDLE h = nullptr;
    if (!::OpenPrinterW(printer.data(), &h, nullptr)) return false;
    handle = reinterpret_cast<SpoolerHandle>(h);
    return true;
  }

  bool start_doc(SpoolerHandle handle, const std::string& document_name, const std::string& data_type,
                 std::uint32_t& job_id) override {
    std::wstring doc = wide(document_name);
    std::wstring type = wide(data_type);
    DOC_INFO_1W info{};
    info.pDocName = doc.data();
    info.pOutputFile = nullptr;
    info.pDatatype = type.data();
    const DWORD job = ::StartDocPrinterW(as_handle(handle), 1, reinterpret_cast<LPBYTE>(&info));
    job_id = job;
    return job != 0;
  }

  bool start_page(SpoolerHandle handle) override { return ::StartPagePrinter(as_handle(handle)) != 0; }

  bool write(SpoolerHandle handle, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    DWORD n = 0;
    const BOOL ok = ::WritePrinter(as_handle(handle), const_cast<std::uint8_t*>(data), size, &n);
    written = n;
    return ok != 0;
  }

  bool end_page(SpoolerHandle handle) override { return ::EndPagePrinter(as_handle(handle)) != 0; }
  bool end_doc(SpoolerHandle handle) override { return ::EndDocPrinter(as_handle(handle)) != 0; }
  bool close_printer(SpoolerHandle handle) override { return ::ClosePrinter(as_handle(handle)) != 0; }

  bool get_printer(SpoolerHandle handle, SpoolerPrinterReport& report) override {
    DWORD needed = 0;
    ::GetPrinterW(as_handle(handle), 2, nullptr, 0, &needed);
    if (needed == 0) return false;
    // PRINTER_INFO_2 and the strings it points to; the strings may grow
    // between the two calls, so the second may ask for more once more.
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
      auto* bytes = reinterpret_cast<LPBYTE>(buffer.data());
      const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
      if (::GetPrinterW(as_handle(handle), 2, bytes, size, &needed)) {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(bytes);
        report = WinspoolPrinterReport{info->Status, info->Attributes, info->cJobs};
        return true;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    }
    return false;
  }
  bool get_job(SpoolerHandle handle, std::uint32_t job_id, SpoolerJobReport& report) override {
    DWORD needed = 0;
    if (!::GetJobW(as_handle(handle), job_id, 1, nullptr, 0, &needed)) {
      // A job that has left the queue is no longer found.
      if (::GetLastError() == ERROR_INVALID_PARAMETER) {
        report = WinspoolJobReport{false, 0};
        return true;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
    }
    std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* bytes = reinterpret_cast<LPBYTE>(buffer.data());
    if (!::GetJobW(as_handle(handle), job_id, 1, bytes, static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)),
                   &needed)) {
      if (::GetLastError() != ERROR_INVALID_PARAMETER) return false;
      report = WinspoolJobReport{false, 0};
      return true;
    }
    report = WinspoolJobReport{true, reinterpret_cast<const JOB_INFO_1W*>(bytes)->Status};
    return true;
  }

  std::uint32_t last_error() override { return ::GetLastError(); }
};

}  // namespace

Spooler& system_spooler() {
  static WinSpooler spooler;
  return spooler;
}

}  // namespace zunel
