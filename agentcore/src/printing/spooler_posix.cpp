#include "printing/spooler.h"

#include <cups/cups.h>

#include <string>

#include "printing/cups_server.h"

namespace zunel {
namespace {

// One open printer: the connection to the server and the job on it.
struct CupsJob {
  http_t* http = nullptr;
  std::string printer;
  std::string document_name;
  std::string format;
  int job_id = 0;
  bool finished = false;
};

CupsJob* as_job(SpoolerHandle h) { return reinterpret_cast<CupsJob*>(h); }

class CupsSpooler final : public Spooler {
 public:
  explicit CupsSpooler(std::string server) : server_(std::move(server)) {}

  bool open_printer(const std::string& name, SpoolerHandle& handle) override {
    // An empty name would select the server's default destination, and the
    // C calls would read a name only up to a NUL: neither is the printer named.
    if (name.empty() || name.find('\0') != std::string::npos) return failed(IPP_STATUS_ERROR_NOT_FOUND);
    const std::string server = server_.empty() ? cupsServer() : server_;
    http_t* http = httpConnect2(server.c_str(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                30000, nullptr);
    // The server gives the same code for a missing printer as for itself
    // being down, so whether it answers at all is settled here first.
    if (http == nullptr) return failed(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    cups_dest_t* dest = cupsGetNamedDest(http, name.c_str(), nullptr);
    if (dest == nullptr) {
      httpClose(http);
      return failed(IPP_STATUS_ERROR_NOT_FOUND);
    }
    cupsFreeDests(1, dest);
    auto* job = new CupsJob;
    job->http = http;
    job->printer = name;
    handle = reinterpret_cast<SpoolerHandle>(job);
    return true;
  }

  bool start_doc(SpoolerHandle handle, const std::string& document_name, const std::string& data_type) override {
    CupsJob* job = as_job(handle);
    job->document_name = document_name;
    job->format = data_type == "RAW" ? CUPS_FORMAT_RAW : data_type;
    job->job_id = cupsCreateJob(job->http, job->printer.c_str(), document_name.c_str(), 0, nullptr);
    if (job->job_id == 0) return failed(cupsLastError());
    return true;
  }

  bool start_page(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    const http_status_t status = cupsStartDocument(job->http, job->printer.c_str(), job->job_id,
                                                   job->document_name.c_str(), job->format.c_str(), 1);
    if (status != HTTP_STATUS_CONTINUE) return failed(cupsLastError());
    return true;
  }

  bool write(SpoolerHandle handle, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    written = 0;
    // A write of 0 bytes would end the document's data early; an empty job
    // simply writes nothing.
    if (size > 0 && cupsWriteRequestData(as_job(handle)->http, reinterpret_cast<const char*>(data), size) !=
                        HTTP_STATUS_CONTINUE) {
      return failed(cupsLastError());
    }
    written = size;
    return true;
  }

  bool end_page(SpoolerHandle) override { return true; }

  bool end_doc(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    const ipp_status_t status = cupsFinishDocument(job->http, job->printer.c_str());
    if (status > IPP_STATUS_OK_CONFLICTING) return failed(status);
    job->finished = true;
    return true;
  }

  bool close_printer(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    // A job created but never finished would wait on the server for a
    // document that never comes.
    if (job->job_id != 0 && !job->finished) cupsCancelJob2(job->http, job->printer.c_str(), job->job_id, 0);
    httpClose(job->http);
    delete job;
    return true;
  }

  std::uint32_t last_error() override { return last_error_; }

 private:
  std::string server_;
  std::uint32_t last_error_ = 0;

  bool failed(ipp_status_t status) {
    last_error_ = static_cast<std::uint32_t>(status);
    return false;
  }
};

}  // namespace

std::unique_ptr<Spooler> make_cups_spooler(const std::string& server) {
  return std::make_unique<CupsSpooler>(server);
}

Spooler& system_spooler() {
  static CupsSpooler spooler{""};
  return spooler;
}

}  // namespace zunel
