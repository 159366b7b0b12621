#include "printing/spooler.h"

#include <string>

#include "printing/cups_library.h"
#include "printing/cups_server.h"

namespace zunel {
namespace {

// One open printer: the connection to the server and the job on it.
struct CupsJob {
  const CupsLibrary* cups = nullptr;
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
  CupsSpooler(std::string server, CupsLibraryLoader load) : server_(std::move(server)), load_(load) {}

  bool open_printer(const std::string& name, SpoolerHandle& handle) override {
    // An empty name would select the server's default destination, and the
    // C calls would read a name only up to a NUL: neither is the printer named.
    if (name.empty() || name.find('\0') != std::string::npos) return failed(IPP_STATUS_ERROR_NOT_FOUND);
    const CupsLibrary* cups = load_();
    if (cups == nullptr) return failed(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    const std::string server = server_.empty() ? cups->server() : server_;
    http_t* http = cups->http_connect2(server.c_str(), cups->ipp_port(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                30000, nullptr);
    // The server gives the same code for a missing printer as for itself
    // being down, so whether it answers at all is settled here first.
    if (http == nullptr) return failed(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE);
    cups_dest_t* dest = cups->get_named_dest(http, name.c_str(), nullptr);
    if (dest == nullptr) {
      cups->http_close(http);
      return failed(IPP_STATUS_ERROR_NOT_FOUND);
    }
    cups->free_dests(1, dest);
    auto* job = new CupsJob;
    job->cups = cups;
    job->http = http;
    job->printer = name;
    handle = reinterpret_cast<SpoolerHandle>(job);
    return true;
  }

  bool start_doc(SpoolerHandle handle, const std::string& document_name, const std::string& data_type,
                 std::uint32_t& job_id) override {
    CupsJob* job = as_job(handle);
    job->document_name = document_name;
    job->format = data_type == "RAW" ? CUPS_FORMAT_RAW : data_type;
    job->job_id = job->cups->create_job(job->http, job->printer.c_str(), document_name.c_str(), 0, nullptr);
    if (job->job_id == 0) return failed(job->cups->last_error());
    job_id = static_cast<std::uint32_t>(job->job_id);
    return true;
  }

  bool start_page(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    const http_status_t status = job->cups->start_document(job->http, job->printer.c_str(), job->job_id,
                                                           job->document_name.c_str(), job->format.c_str(), 1);
    if (status != HTTP_STATUS_CONTINUE) return failed(job->cups->last_error());
    return true;
  }

  bool write(SpoolerHandle handle, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    CupsJob* job = as_job(handle);
    written = 0;
    // A write of 0 bytes would end the document's data early; an empty job
    // simply writes nothing.
    if (size > 0 && job->cups->write_request_data(job->http, reinterpret_cast<const char*>(data), size) !=
                        HTTP_STATUS_CONTINUE) {
      return failed(job->cups->last_error());
    }
    written = size;
    return true;
  }

  bool end_page(SpoolerHandle) override { return true; }

  bool end_doc(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    const ipp_status_t status = job->cups->finish_document(job->http, job->printer.c_str());
    if (status > IPP_STATUS_OK_CONFLICTING) return failed(status);
    job->finished = true;
    return true;
  }

  bool close_printer(SpoolerHandle handle) override {
    CupsJob* job = as_job(handle);
    // A job created but never finished would wait on the server for a
    // document that never comes.
    if (job->job_id != 0 && !job->finished) {
      job->cups->cancel_job2(job->http, job->printer.c_str(), job->job_id, 0);
    }
    job->cups->http_close(job->http);
    delete job;
    return true;
  }

  // One IPP request for the `wanted` attributes of the object `uri` names
  // (in the operation attribute `uri_name`): the response, which the caller
  // deletes, or nothing with the error recorded.
  template <std::size_t N>
  ipp_t* ask(CupsJob& job, ipp_op_t operation, const char* uri_name, const char* uri,
             const char* const (&wanted)[N]) {
    const CupsLibrary& cups = *job.cups;
    ipp_t* request = cups.ipp_new_request(operation);
    cups.ipp_add_string(request, IPP_TAG_OPERATION, IPP_TAG_URI, uri_name, nullptr, uri);
    cups.ipp_add_strings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", static_cast<int>(N),
                         nullptr, wanted);
    ipp_t* response = cups.do_request(job.http, request, "/");  // frees the request
    const ipp_status_t status = cups.last_error();
    if (response != nullptr && status <= IPP_STATUS_OK_CONFLICTING) return response;
    if (response != nullptr) cups.ipp_delete(response);
    failed(status);
    return nullptr;
  }

  bool get_printer(SpoolerHandle handle, SpoolerPrinterReport& report) override {
    CupsJob* job = as_job(handle);
    const CupsLibrary& cups = *job->cups;
    char uri[1024];
    if (cups.http_assemble_urif(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                                "/printers/%s", job->printer.c_str()) != HTTP_URI_STATUS_OK) {
      return failed(IPP_STATUS_ERROR_NOT_FOUND);
    }
    static const char* const WANTED[] = {"printer-state", "printer-state-reasons", "queued-job-count"};
    ipp_t* response = ask(*job, IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", uri, WANTED);
    if (response == nullptr) return false;
    CupsPrinterReport cups_report;
    if (ipp_attribute_t* a = cups.ipp_find_attribute(response, "printer-state", IPP_TAG_ENUM)) {
      cups_report.state = cups.ipp_get_integer(a, 0);
    }
    if (ipp_attribute_t* a = cups.ipp_find_attribute(response, "printer-state-reasons", IPP_TAG_KEYWORD)) {
      const int count = cups.ipp_get_count(a);
      for (int i = 0; i < count && cups_report.reasons.size() < SPOOLER_MAX_REASONS; ++i) {
        if (const char* reason = cups.ipp_get_string(a, i, nullptr)) cups_report.reasons.emplace_back(reason);
      }
    }
    if (ipp_attribute_t* a = cups.ipp_find_attribute(response, "queued-job-count", IPP_TAG_INTEGER)) {
      const int jobs = cups.ipp_get_integer(a, 0);
      cups_report.jobs = jobs > 0 ? static_cast<std::uint32_t>(jobs) : 0;
    }
    cups.ipp_delete(response);
    report = std::move(cups_report);
    return true;
  }

  bool get_job(SpoolerHandle handle, std::uint32_t job_id, SpoolerJobReport& report) override {
    CupsJob* job = as_job(handle);
    const CupsLibrary& cups = *job->cups;
    char uri[1024];
    if (cups.http_assemble_urif(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/jobs/%u",
                                job_id) != HTTP_URI_STATUS_OK) {
      return failed(IPP_STATUS_ERROR_NOT_FOUND);
    }
    static const char* const WANTED[] = {"job-state"};
    ipp_t* response = ask(*job, IPP_OP_GET_JOB_ATTRIBUTES, "job-uri", uri, WANTED);
    if (response == nullptr) return false;
    ipp_attribute_t* state = cups.ipp_find_attribute(response, "job-state", IPP_TAG_ENUM);
    const int value = state != nullptr ? cups.ipp_get_integer(state, 0) : 0;
    cups.ipp_delete(response);
    if (value == 0) return failed(IPP_STATUS_ERROR_INTERNAL);
    report = CupsJobReport{value};
    return true;
  }

  std::uint32_t last_error() override { return last_error_; }

 private:
  std::string server_;
  CupsLibraryLoader load_;
  std::uint32_t last_error_ = 0;

  bool failed(ipp_status_t status) {
    last_error_ = static_cast<std::uint32_t>(status);
    return false;
  }
};

}  // namespace

std::unique_ptr<Spooler> make_cups_spooler(const std::string& server, CupsLibraryLoader load) {
  return std::make_unique<CupsSpooler>(server, load);
}

Spooler& system_spooler() {
  static CupsSpooler spooler{"", cups_library};
  return spooler;
}

}  // namespace zunel
