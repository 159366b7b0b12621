#include "printing/printer_directory.h"

#include <cstring>
#include <string>

#include "printing/cups_library.h"
#include "printing/cups_server.h"

namespace zunel {
namespace {

// A stopped (paused) queue: its printer-state is 5.
constexpr const char* STOPPED = "5";

class CupsPrinterDirectory final : public PrinterDirectory {
 public:
  CupsPrinterDirectory(std::string server, CupsLibraryLoader load) : server_(std::move(server)), load_(load) {}

  Outcome<std::vector<PrinterInfo>> list() override {
    const CupsLibrary* cups = load_();
    if (cups == nullptr) return failure(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    const std::string server = server_.empty() ? cups->server() : server_;
    http_t* http = cups->http_connect2(server.c_str(), cups->ipp_port(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                30000, nullptr);
    if (http == nullptr) return failure(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    cups_dest_t* dests = nullptr;
    const int count = cups->get_dests2(http, &dests);
    const ipp_status_t status = cups->last_error();
    cups->http_close(http);
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
      const char* state = cups->get_option("printer-state", dest.num_options, dest.options);
      info.offline = state != nullptr && std::strcmp(state, STOPPED) == 0;
      printers.push_back(std::move(info));
    }
    cups->free_dests(count, dests);
    return printers;
  }

 private:
  std::string server_;
  CupsLibraryLoader load_;

  static Error failure(ipp_status_t status) {
    return fail("EnumPrinters falló (Win32 err " + std::to_string(static_cast<int>(status)) + ")");
  }
};

}  // namespace

std::unique_ptr<PrinterDirectory> make_cups_printer_directory(const std::string& server, CupsLibraryLoader load) {
  return std::make_unique<CupsPrinterDirectory>(server, load);
}

PrinterDirectory& system_printer_directory() {
  static CupsPrinterDirectory directory{"", cups_library};
  return directory;
}

}  // namespace zunel
