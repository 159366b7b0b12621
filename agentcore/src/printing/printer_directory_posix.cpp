#include "printing/printer_directory.h"

#include <cups/cups.h>

#include <cstring>
#include <string>

#include "printing/cups_server.h"

namespace zunel {
namespace {

// A stopped (paused) queue: its printer-state is 5.
constexpr const char* STOPPED = "5";

class CupsPrinterDirectory final : public PrinterDirectory {
 public:
  explicit CupsPrinterDirectory(std::string server) : server_(std::move(server)) {}

  Outcome<std::vector<PrinterInfo>> list() override {
    const std::string server = server_.empty() ? cupsServer() : server_;
    http_t* http = httpConnect2(server.c_str(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                30000, nullptr);
    if (http == nullptr) return failure(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(http, &dests);
    const ipp_status_t status = cupsLastError();
    httpClose(http);
    // With the server known to answer, "not found" means it has no queues.
    if (count == 0 && status > IPP_STATUS_OK_CONFLICTING && status != IPP_STATUS_ERROR_NOT_FOUND) {
      return failure(status);
    }

    std::vector<PrinterInfo> printers;
    for (int i = 0; i < count; ++i) {
      const cups_dest_t& dest = dests[i];
      // Instances are saved option sets of a queue, not queues of their own.
      if (dest.instance != nullptr) continue;
      PrinterInfo info;
      if (dest.name != nullptr && dest.name[0] != '\0') info.product = dest.name;
      const char* state = cupsGetOption("printer-state", dest.num_options, dest.options);
      info.offline = state != nullptr && std::strcmp(state, STOPPED) == 0;
      printers.push_back(std::move(info));
    }
    cupsFreeDests(count, dests);
    return printers;
  }

 private:
  std::string server_;

  static Error failure(ipp_status_t status) {
    return fail("EnumPrinters falló (Win32 err " + std::to_string(static_cast<int>(status)) + ")");
  }
};

}  // namespace

std::unique_ptr<PrinterDirectory> make_cups_printer_directory(const std::string& server) {
  return std::make_unique<CupsPrinterDirectory>(server);
}

PrinterDirectory& system_printer_directory() {
  static CupsPrinterDirectory directory{""};
  return directory;
}

}  // namespace zunel
