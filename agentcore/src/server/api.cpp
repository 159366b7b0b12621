#include "server/api.h"

#include <algorithm>
#include <array>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/json/string.hpp>
#include <memory>
#include <optional>
#include <string_view>

#include "base/build_config.h"
#include "base/constants.h"
#include "base/diagnostic_line.h"
#include "base/journal.h"
#include "base/random_source.h"
#include "base/sha256.h"
#include "base/utf8.h"
#include "printing/print_body_bound.h"
#include "printing/print_body_handler.h"
#include "printing/print_body_reader.h"
#include "printing/printer_list.h"
#include "printing/printer_key.h"
#include "printing/printing.h"
#include "printing/serial_port.h"
#include "printing/status/confirmation.h"
#include "printing/status/printer_status_json.h"
#include "printing/status/status_body_reader.h"
#include "printing/status/status_query.h"
#include "security/agent_state.h"
#include "security/pairing_store.h"
#include "security/request_signature.h"
#include "security/tickets.h"
#include "server/answers.h"
#include "server/gates.h"
#include "server/http_server.h"
#include "server/request_bodies.h"

namespace zunel {
namespace {

using Cors = std::optional<std::string>;

// A print job's body, hashed for its signature and decoded as it arrives on
// the server's I/O thread: its text is never kept whole. Hashing here also
// keeps it away from the state lock, which only verify_request takes, once
// the digest is known.
class PrintJobBody final : public BodyConsumer {
 public:
  // The decoder reserves room for the bytes from the declared length, which
  // the server has already bounded by the route's limit and charged to the
  // budget of bodies in flight; the room is smaller than that length.
  // The hash is begun with the body, not at admission, which stays cheap.
  void begin(std::size_t declared_length) override {
    hash_.emplace();
    decoder_.emplace(declared_length);
  }
  void consume(std::string_view piece) override {
    hash_->update(piece);
    decoder_->feed(piece);
  }
  void finish() override {
    digest_ = hash_->finish();
    decoded_ = decoder_->finish();
    valid_utf8_ = decoder_->valid_utf8();
  }

  // After finish():
  const Sha256Digest& digest() const { return digest_; }
  bool valid_utf8() const { return valid_utf8_; }
  Outcome<PrintBody>& decoded() { return decoded_; }

 private:
  std::optional<Sha256> hash_;
  std::optional<PrintBodyDecoder> decoder_;
  Sha256Digest digest_{};
  Outcome<PrintBody> decoded_ = fail("not finished");
  bool valid_utf8_ = false;
};

std::string json_string(std::string_view text) {
  return boost::json::serialize(boost::json::string(text));
}

HttpResponse credentials_answer(const DeviceCredentials& creds, const std::string& id,
                                const Cors& cors) {
  return json_response(200, cors,
                       "{\"token\":" + json_string(creds.token_hex) +
                           ",\"device_id\":" + json_string(creds.device_id) +
                           ",\"agent_id\":" + json_string(id) + "}");
}

HttpResponse invalid_json(const Cors& cors) { return error_answer(400, cors, ErrorCode::BadJson, "json inválido"); }

// The code of a print job's failure: the class printing gave it.
ErrorCode print_failure_code(PrintFailure failure) {
  switch (failure) {
    case PrintFailure::Unreachable: return ErrorCode::PrinterUnreachable;
    case PrintFailure::Timeout: return ErrorCode::PrinterTimeout;
    case PrintFailure::Closed: return ErrorCode::PrinterClosed;
    case PrintFailure::SerialOpenFailed: return ErrorCode::SerialOpenFailed;
    case PrintFailure::Spooler: return ErrorCode::SpoolerError;
    case PrintFailure::UsbUnsupported: return ErrorCode::UsbUnsupported;
  }
  return ErrorCode::PrinterClosed;
}

HttpResponse print_failed(const Cors& cors, const PrintError& error) {
  return error_answer(502, cors, print_failure_code(error.failure), error.text);
}

// A body that is JSON of the right shape but with a member out of its range
// names that member in its text; anything else is "json inválido".
HttpResponse body_refused(const Cors& cors, const std::string& text, std::string_view invalid_json_text) {
  return error_answer(400, cors, text == invalid_json_text ? ErrorCode::BadJson : ErrorCode::BadRequest, text);
}

// A serial target must name a serial port of this system: nothing else (a
// terminal, a file) is ever opened for a page.
std::optional<HttpResponse> serial_port_refused(const PrintTarget& target, const Cors& cors) {
  const auto* serial = std::get_if<PrintTarget::Serial>(&target.kind);
  if (serial == nullptr || serial_port_name_allowed(serial->port)) return std::nullopt;
  return error_answer(400, cors, ErrorCode::BadRequest, "puerto serie no válido");
}

// What an endpoint gets: the request with its body's text (empty for a print
// job, whose body was decoded as it arrived), the decoded job, the context
// and the CORS origin the gates allowed.
struct Call {
  HttpRequest& req;
  std::shared_ptr<PrintJobBody> job;  // for the route that takes print jobs; null otherwise
  ApiContext& ctx;
  Cors cors;
  VerifiedDevice device;  // signed routes: the device that signed
};

std::string_view path_of(const HttpRequest& req) {
  return std::string_view(req.target).substr(0, req.target.find('?'));
}

// The lanes of the work that does not belong to one printer: the store's
// changes, one at a time in their order, and the spooler's printer list.
constexpr std::string_view STORE_LANE = "store";
constexpr std::string_view PRINTER_LIST_LANE = "printer-list";

LaneWork service_work(std::string_view lane, std::function<HttpResponse()> run) {
  return LaneWork{std::string(lane), LaneKind::Service, std::move(run)};
}

// Answered on the I/O thread: the paired origins are read from what the
// store last published, without the state lock.
Handled ping(Call& call) {
  const StateSettings& settings = call.ctx.state.settings();
  const bool paired = call.cors && call.ctx.state.origin_paired(*call.cors);
  // Every build answers "windows": pages written for the Windows agent check
  // it, and the API is the same on every platform. "build" tells two builds
  // of one version apart.
  return json_response(200, call.cors,
                       "{\"ok\":true,\"id\":" + json_string(settings.id) +
                           ",\"version\":" + json_string(settings.version) +
                           ",\"paired\":" + (paired ? "true" : "false") +
                           ",\"platform\":\"windows\",\"capabilities\":[\"print\",\"printers\","
                           "\"provision\",\"revocations\",\"status\",\"jobs\",\"confirm\",\"base64\"],\"build\":" +
                           json_string(agent_build()) + "}");
}

Handled printers(Call& call) {
  return service_work(PRINTER_LIST_LANE, [&ctx = call.ctx, cors = call.cors] {
    auto list = list_printers(ctx.printing);
    if (!list) return error_answer(500, cors, ErrorCode::SpoolerError, list.error());
    return json_response(200, cors, "{\"printers\":" + printer_list_json(*list) + "}");
  });
}

// A pairing or provisioning whose save failed: it was undone.
HttpResponse pairing_not_saved(const Cors& cors) {
  return error_answer(503, cors, ErrorCode::StoreUnavailable, "no se pudo guardar el emparejamiento; no cambió nada");
}

Handled pair(Call& call) {
  auto body = decode_pair_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    bool exhausted = false;
    Outcome<std::optional<DeviceCredentials>> paired = fail("");
    const Status saved = ctx.state.change_and_save([&](LockedState& locked) {
      paired = pair_with_code(locked, *cors, body.code, body.label.value_or(""));
      exhausted = pairing_code_exhausted(locked);
    });
    if (!paired) return error_answer(500, cors, ErrorCode::InternalError, paired.error());
    if (!paired->has_value()) {
      return error_answer(401, cors, exhausted ? ErrorCode::CodeAttemptsExceeded : ErrorCode::CodeInvalid,
                          "código inválido o expirado");
    }
    if (!saved) return pairing_not_saved(cors);
    ctx.events->paired((*paired)->device_id, *cors, body.label.value_or(""), "code");
    return credentials_answer(**paired, ctx.state.settings().id, cors);
  });
}

Handled provision(Call& call) {
  auto body = decode_prov_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    std::optional<Outcome<DeviceCredentials>> provisioned;
    // One hold of the lock from the ticket check to the new device.
    const Status saved = ctx.state.change_and_save([&](LockedState& locked) {
      const auto claims = check_provisioning_ticket(locked, body.ticket);
      if (claims) provisioned = provision_device(locked, *cors, body.label.value_or(""), body.device_id, *claims);
    });
    if (!provisioned) return error_answer(401, cors, ErrorCode::TicketInvalid, "ticket inválido");
    if (!*provisioned) return error_answer(500, cors, ErrorCode::InternalError, provisioned->error());
    if (!saved) return pairing_not_saved(cors);
    ctx.events->paired((*provisioned)->device_id, *cors, body.label.value_or(""), "auto");
    return credentials_answer(**provisioned, ctx.state.settings().id, cors);
  });
}

Handled revocations(Call& call) {
  auto body = decode_rev_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    std::vector<std::string> removed;
    std::optional<RevocationResult> applied;
    const Status saved = ctx.state.change_and_save([&](LockedState& locked) {
      std::vector<std::string> before;
      for (const Device& device : locked->devices) before.push_back(device.id);
      applied = apply_revocation_list(locked, body.list);
      for (std::string& id : before) {
        const auto& now = locked->devices;
        if (std::none_of(now.begin(), now.end(), [&id](const Device& d) { return d.id == id; })) {
          removed.push_back(std::move(id));
        }
      }
    });
    if (!applied) return error_answer(401, cors, ErrorCode::RevocationsInvalid, "lista inválida");
    if (!saved) {
      return error_answer(503, cors, ErrorCode::StoreUnavailable,
                          "no se pudo guardar la lista de revocaciones; no cambió nada");
    }
    ctx.events->revocations(applied->applied_seq, removed);
    return json_response(200, cors,
                         "{\"applied_seq\":" + std::to_string(applied->applied_seq) +
                             ",\"removed\":" + std::to_string(applied->removed) + "}");
  });
}

// A job asked to be confirmed holds its printer's lane through the
// confirmation too: nothing reaches the printer between the job and the
// printer's word on it.
HttpResponse print_now(PrintJobBody& job, PrintPlatform& printing, const Cors& cors) {
  const PrintBody& body = *job.decoded();
  if (const std::optional<ConfirmRequest>& confirm = *body.confirm) {
    auto confirmed = print_and_confirm(body.target, body.bytes, *confirm, printing, system_random());
    if (!confirmed) return print_failed(cors, confirmed.error());
    return json_response(200, cors, confirmation_json(*confirmed));
  }
  const PrintStatus printed = print_to_target(body.target, body.bytes, printing);
  if (!printed) return print_failed(cors, printed.error());
  return json_response(200, cors, "{\"ok\":true}");
}

// A job with an id whose start could not be stored: not sent.
constexpr const char* JOB_NOT_STORED =
    "no se puede garantizar ahora que el trabajo se imprima una sola vez: el agente no pudo guardarlo "
    "en el disco, y no se imprimió; enviado sin job_id se imprime sin esa garantía";

// The job, told to the journal and, with a job id, to the job ledger: when it
// starts (so that a crash while it runs leaves it interrupted) and when it
// ends. On the job's lane, where its end line waits for `print_told`, or on
// the I/O thread for a job that reaches no printer (`in_lane` false), which
// never waits for the journal.
HttpResponse print_traced(PrintJobBody& job, JobTrace& trace, ApiContext& ctx, const Cors& cors,
                          bool in_lane = true) {
  using LineWrite = ServerEvents::LineWrite;
  ServerEvents& events = *ctx.events;
  if (!trace.bytes_digest) {
    const auto& bytes = job.decoded()->bytes;
    trace.bytes_digest = sha256(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  // A job with an id starts only once its start is on disk: its repeat,
  // after a crash too, must know it began. One that reaches no printer (on
  // the I/O thread, which never waits for the disk) has nothing to keep.
  if (trace.job_id && in_lane) {
    if (Status stored = ctx.jobs->start(trace.device, *trace.job_id); !stored) {
      HttpResponse answer = error_answer(503, cors, ErrorCode::JournalUnavailable, JOB_NOT_STORED);
      events.print_ended(trace, JobAnswer{answer.status, answer.body}, std::nullopt, LineWrite::Here);
      return answer;
    }
  }
  trace.started = events.clock().now_secs();
  trace.started_at = events.monotonic().now();
  events.print_started(trace, in_lane ? LineWrite::Here : LineWrite::Queued);
  HttpResponse answer = print_now(job, ctx.printing, cors);
  const auto sent = events.monotonic().now() - trace.started_at;
  JobAnswer told{answer.status, answer.body};
  if (!in_lane) {
    events.print_ended(trace, told, sent);
  } else if (trace.job_id) {
    events.print_ended(trace, told, sent, LineWrite::Here);
  } else {
    trace.answer = told;
    trace.sent = sent;
  }
  if (trace.job_id) ctx.jobs->finish(trace.device, *trace.job_id, std::move(told), events.clock().now_secs());
  return answer;
}

// A job's end line, written by its lane once its answer is on its way; it
// holds the events it writes to, whatever becomes of the context.
std::function<void()> print_told(std::shared_ptr<JobTrace> trace, const ApiContext& ctx) {
  return [trace = std::move(trace), events = ctx.events] {
    if (trace->answer) events->print_ended(*trace, *trace->answer, trace->sent, ServerEvents::LineWrite::Here);
  };
}

// A claimed job id that has not reached its printer: forgotten when its
// work is dropped unrun (its lane refused it, or it did not start in time),
// so that the page may send it again.
struct ClaimHold {
  ClaimHold(std::shared_ptr<JobLedger> registry, const JobTrace& trace)
      : jobs(std::move(registry)), device(trace.device), job_id(trace.job_id) {}
  ClaimHold(const ClaimHold&) = delete;
  ClaimHold& operator=(const ClaimHold&) = delete;
  ~ClaimHold() {
    if (!started && job_id) jobs->forget(device, *job_id);
  }
  std::shared_ptr<JobLedger> jobs;
  std::string device;
  std::optional<std::string> job_id;
  bool started = false;
};

// The first job's answer, said again: its status and body, with "repeated": true.
HttpResponse repeated_answer(const JobAnswer& first, const Cors& cors) {
  boost::json::error_code ec;
  boost::json::value body = boost::json::parse(first.body, ec);
  if (ec || !body.is_object()) body = boost::json::object();
  body.as_object()["repeated"] = true;
  return json_response(first.status, cors, boost::json::serialize(body));
}

HttpResponse interrupted_answer(const Cors& cors) {
  std::string body = error_body(ErrorCode::JobInterrupted,
                                "el trabajo se interrumpió al detenerse el agente y no se sabe si se "
                                "imprimió: revise la impresora antes de imprimirlo con otro job_id");
  body.insert(body.size() - 1, ",\"state\":\"interrupted\"");
  return json_response(409, cors, std::move(body));
}

HttpResponse other_job_answer(const Cors& cors) {
  return error_answer(409, cors, ErrorCode::JobIdConflict, "job_id ya usado para otro trabajo");
}

// The answer to a known job id that needs no printer: the first job's,
// once it has one.
std::optional<HttpResponse> known_job_answer(const JobRecord& known, const Cors& cors) {
  if (known.state == JobState::Done && known.answer) return repeated_answer(*known.answer, cors);
  if (known.state == JobState::Interrupted) return interrupted_answer(cors);
  return std::nullopt;
}

// A job whose id its device has used before: never printed again.
// Answered at once when the first job has ended; otherwise it waits behind
// the first job in the same printer's lane and then says its answer. When
// the first job never reached the printer (it was forgotten meanwhile),
// this is the job, and it prints.
Handled print_repeat(Call& call, std::shared_ptr<JobTrace> trace, const JobRecord& known,
                     const std::optional<std::string>& key) {
  ServerEvents& events = *call.ctx.events;
  if (auto answer = known_job_answer(known, call.cors)) {
    events.print_repeated(*trace, answer->status, known.state);
    return std::move(*answer);
  }
  if (!key) return printer_busy_answer(call.cors);  // a job without a printer never waits
  LaneWork work{
      .lane = *key, .kind = LaneKind::Printer, .run = {}, .start_within = std::nullopt, .not_started = {},
      .after_answer = {}};
  work.run = [job = call.job, trace, &ctx = call.ctx, cors = call.cors] {
    const auto fingerprint = job_fingerprint(trace->target, *trace->bytes_digest);
    const auto claimed = ctx.jobs->claim(trace->device, *trace->job_id, fingerprint,
                                         ctx.events->clock().now_secs());
    if (claimed.claim == JobRegistry::Claim::New) return print_traced(*job, *trace, ctx, cors);
    if (claimed.claim == JobRegistry::Claim::Other) return other_job_answer(cors);
    if (claimed.claim == JobRegistry::Claim::Full) return agent_busy_answer(cors);
    auto answer = known_job_answer(claimed.known, cors);
    // Another request took the id after the first was forgotten,
    // and waits behind this one.
    if (!answer) answer = printer_busy_answer(cors);
    ctx.events->print_repeated(*trace, answer->status, claimed.known.state);
    return std::move(*answer);
  };
  work.after_answer = print_told(trace, call.ctx);
  work.not_started = [trace, &ctx = call.ctx, cors = call.cors] {
    const auto known = ctx.jobs->find(trace->device, *trace->job_id);
    std::optional<HttpResponse> answer;
    if (known) answer = known_job_answer(*known, cors);
    return answer ? std::move(*answer) : printer_busy_answer(cors);
  };
  return work;
}

// A job joins the lane of its printer; one that reaches no printer (USB) is
// refused at once. A job id is claimed when the job is accepted, so that a
// repeat sent while the job waits or runs already finds it.
Handled print(Call& call) {
  if (!call.job->decoded()) {
    const std::string_view why = call.job->decoded().error();
    if (why == BODY_WITHOUT_BYTES || why == BODY_WITH_BOTH_BYTES) {
      return error_answer(400, call.cors, ErrorCode::BadRequest, PRINT_BYTES_ONE_WAY);
    }
    return invalid_json(call.cors);
  }
  PrintBody& body = *call.job->decoded();
  if (!body.confirm) return error_answer(400, call.cors, ErrorCode::BadRequest, body.confirm.error());
  if (!body.job_id) return error_answer(400, call.cors, ErrorCode::BadRequest, body.job_id.error());
  if (auto refused = serial_port_refused(body.target, call.cors)) return std::move(*refused);
  ApiContext& ctx = call.ctx;
  auto trace = std::make_shared<JobTrace>();
  trace->device = call.device.id;
  trace->label = call.device.label;
  trace->origin = call.cors.value_or("");
  trace->job_id = *body.job_id;
  trace->target = target_json(body.target);
  trace->byte_count = body.bytes.size();
  trace->accepted = ctx.events->clock().now_secs();
  trace->accepted_at = ctx.events->monotonic().now();
  const std::optional<std::string> key = printer_key(body.target);
  if (trace->job_id) {
    trace->bytes_digest = sha256(
        std::string_view(reinterpret_cast<const char*>(body.bytes.data()), body.bytes.size()));
    const auto claimed = ctx.jobs->claim(trace->device, *trace->job_id,
                                         job_fingerprint(trace->target, *trace->bytes_digest), trace->accepted);
    if (claimed.claim == JobRegistry::Claim::Other) {
      ctx.events->print_repeated(*trace, 409, claimed.known.state);
      return other_job_answer(call.cors);
    }
    if (claimed.claim == JobRegistry::Claim::Full) {
      // Every job remembered is waiting or running: none is forgotten for it.
      HttpResponse answer = agent_busy_answer(call.cors);
      ctx.events->print_ended(*trace, JobAnswer{answer.status, answer.body}, std::nullopt);
      return answer;
    }
    if (claimed.claim == JobRegistry::Claim::Same) return print_repeat(call, trace, claimed.known, key);
  }
  if (!key) return print_traced(*call.job, *trace, ctx, call.cors, false);
  auto hold = std::make_shared<ClaimHold>(ctx.jobs, *trace);
  LaneWork work{
      .lane = *key, .kind = LaneKind::Printer, .run = {}, .start_within = std::nullopt, .not_started = {},
      .after_answer = {}};
  work.run = [job = call.job, trace, hold, &ctx, cors = call.cors] {
    hold->started = true;
    return print_traced(*job, *trace, ctx, cors);
  };
  work.after_answer = print_told(trace, ctx);
  // Refused by its lane, too late to start, or cut by the agent's stop.
  work.unrun = [trace, events = ctx.events](const HttpResponse& answer) {
    events->print_ended(*trace, JobAnswer{answer.status, answer.body}, std::nullopt);
  };
  return work;
}

// What became of a job of the asking device, from the registry alone: no
// printer is waited for.
Handled job(Call& call) {
  // The segment as the page's URL encoder wrote it: ":" often as "%3A".
  const auto encoded =
      boost::urls::make_pct_string_view(path_of(call.req).substr(std::string_view("/v1/jobs/").size()));
  const std::string job_id = encoded ? encoded->decode() : std::string();
  std::optional<JobRecord> known;
  if (readable_job_id(job_id)) known = call.ctx.jobs->find(call.device.id, job_id);
  if (!known) return error_answer(404, call.cors, ErrorCode::JobUnknown, "trabajo desconocido");
  boost::json::object o;
  o["job_id"] = job_id;
  o["state"] = job_state_name(known->state);
  o["accepted"] = iso_utc(known->accepted);
  o["ended"] = known->ended ? boost::json::value(iso_utc(*known->ended)) : boost::json::value(nullptr);
  if (known->answer) {
    boost::json::error_code ec;
    boost::json::object answer;
    answer["status"] = known->answer->status;
    answer["body"] = boost::json::parse(known->answer->body, ec);
    o["answer"] = std::move(answer);
  } else {
    o["answer"] = nullptr;
  }
  return json_response(200, call.cors, boost::json::serialize(o));
}

// A status query asks the printer itself, in its printer's lane, so it never
// meets a job on the wire. When the lane is still busy after the query's own
// time-out, the answer says so and the printer is not touched.
Handled printer_status(Call& call) {
  auto request = read_status_body(call.req.body);
  if (!request) return body_refused(call.cors, request.error(), STATUS_BODY_INVALID);
  if (auto refused = serial_port_refused(request->target, call.cors)) return std::move(*refused);
  const std::optional<std::string> key = printer_key(request->target);
  auto query = [request = *request, &ctx = call.ctx, cors = call.cors, device = call.device.id,
                printer = key.value_or("")] {
    auto status = query_printer_status(request, ctx.printing);
    // Only a target with no channel to ask fails: a "usb" one.
    const bool usb = std::holds_alternative<PrintTarget::Usb>(request.target.kind);
    HttpResponse answer =
        status ? json_response(200, cors, printer_status_json(*status))
               : error_answer(502, cors, usb ? ErrorCode::UsbUnsupported : ErrorCode::BadRequest, status.error());
    ctx.events->printer_status(printer, device, target_json(request.target), answer.status, answer.body);
    return answer;
  };
  if (!key) return query();  // a USB target: refused as a print is
  const StatusSource source = status_source(request->target);
  LaneWork work{*key, LaneKind::Printer, std::move(query)};
  work.start_within = request->timeout;
  work.not_started = [source, waited = request->timeout, cors = call.cors] {
    const auto elapsed = static_cast<std::uint64_t>(waited.count());
    return json_response(200, cors, printer_status_json(busy_printer_status(source, elapsed)));
  };
  return work;
}

using Endpoint = Handled (*)(Call&);

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;

struct Route {
  std::string_view method;
  std::string_view path;
  bool needs_origin;
  std::size_t max_body;  // 0: the route reads no body
  bool signed_request;
  bool print_job;  // the body is hashed and decoded as it arrives, never kept as text
  Endpoint endpoint;
};

// Each body bound is what the route's body can sensibly hold: pairing and
// provisioning bodies are a few hundred bytes, revocation lists hold device
// ids, print jobs are raw printer data.
// A path that ends in "/" takes whatever follows it (the endpoint reads it).
constexpr std::array<Route, 8> ROUTES{{
    {.method = "GET", .path = "/v1/ping", .needs_origin = false, .max_body = 0,
     .signed_request = false, .print_job = false, .endpoint = ping},
    {.method = "GET", .path = "/v1/printers", .needs_origin = true, .max_body = 0,
     .signed_request = true, .print_job = false, .endpoint = printers},
    {.method = "POST", .path = "/v1/pair", .needs_origin = true, .max_body = 16 * KiB,
     .signed_request = false, .print_job = false, .endpoint = pair},
    {.method = "POST", .path = "/v1/provision", .needs_origin = true, .max_body = 16 * KiB,
     .signed_request = false, .print_job = false, .endpoint = provision},
    {.method = "POST", .path = "/v1/revocations", .needs_origin = true, .max_body = 1 * MiB,
     .signed_request = false, .print_job = false, .endpoint = revocations},
    {.method = "POST", .path = "/v1/print", .needs_origin = true, .max_body = PRINT_BODY_MAX_BYTES,
     .signed_request = true, .print_job = true, .endpoint = print},
    {.method = "POST", .path = "/v1/printers/status", .needs_origin = true, .max_body = 16 * KiB,
     .signed_request = true, .print_job = false, .endpoint = printer_status},
    {.method = "GET", .path = "/v1/jobs/", .needs_origin = true, .max_body = 0,
     .signed_request = true, .print_job = false, .endpoint = job},
}};

bool route_matches(const Route& route, std::string_view path) {
  if (route.path.ends_with('/')) return path.starts_with(route.path) && path.size() > route.path.size();
  return route.path == path;
}

HttpResponse origin_refused() {
  return error_answer(403, std::nullopt, ErrorCode::OriginNotAllowed, "origen no permitido");
}

// The checks that need only the request's header, in their answer order:
// Host, preflight, route, Origin. Either an answer, or the route with the
// request's CORS origin.
struct Gated {
  std::optional<HttpResponse> answer;
  const Route* route = nullptr;
  Cors cors;
  bool origin_refused = false;  // the answer is 403 for the request's origin
};

Gated answered(HttpResponse answer, bool for_origin = false) {
  Gated gated;
  gated.answer = std::move(answer);
  gated.origin_refused = for_origin;
  return gated;
}

Gated pass_gates(const HttpRequest& req, std::uint16_t port, std::string_view erp_domain) {
  const std::string* host = find_header(req.headers, "host");
  const std::string* origin = find_header(req.headers, "origin");
  const std::string_view path = path_of(req);

  if (!host_allowed(host ? *host : std::string_view(), port)) {
    return answered(error_answer(403, std::nullopt, ErrorCode::HostNotAllowed, "host no permitido"));
  }
  Cors cors;
  if (origin && origin_allowed(*origin, erp_domain)) cors = *origin;

  if (req.method == "OPTIONS") {
    return cors ? answered(preflight_response(*cors)) : answered(origin_refused(), true);
  }

  for (const Route& route : ROUTES) {
    if (route.method != req.method || !route_matches(route, path)) continue;
    if (route.needs_origin && !cors) return answered(origin_refused(), true);
    return Gated{std::nullopt, &route, std::move(cors)};
  }
  return answered(error_answer(404, cors, ErrorCode::NotFound, "no encontrado"));
}

// Judges a whole request of `route` that the gates passed: its bound, its
// text, its signature, then the endpoint. On the I/O thread, so a job is
// judged when it arrives, whatever waits in its printer's lane.
Handled judge(const Route& route, Call& call) {
  const HttpRequest& req = call.req;
  const bool reads_body = route.max_body > 0;
  if (reads_body) {
    if (req.body_state == BodyState::TooLarge) {
      return error_answer(413, call.cors, ErrorCode::BodyTooLarge, "cuerpo demasiado grande");
    }
    bool readable = req.body_state == BodyState::Complete;
    if (readable) readable = call.job ? call.job->valid_utf8() : is_valid_utf8(req.body);
    if (!readable) return error_answer(400, call.cors, ErrorCode::UnreadableBody, "cuerpo ilegible");
  }
  if (route.signed_request) {
    const auto header = [&req](std::string_view name) {
      const std::string* value = find_header(req.headers, name);
      return value ? std::string_view(*value) : std::string_view();
    };
    const SignatureFields fields = parse_signature_fields(
        {header("authorization"), header("x-zunel-timestamp"), header("x-zunel-nonce"),
         header("x-zunel-sign")});
    // Both are ready before verify_request takes the lock: a print job's body
    // was hashed as it arrived.
    const Sha256Digest body_digest =
        call.job ? call.job->digest() : sha256(reads_body ? std::string_view(req.body) : "");
    auto verified = verify_device_request(call.ctx.state, fields, *call.cors, body_digest);
    if (!verified) {
      const char* reason = refusal_reason_name(verified.error());
      call.ctx.events->refused(401, reason, *call.cors, std::string(path_of(req)));
      return error_answer(401, call.cors, ErrorCode::Unauthorized, "no autorizado", reason);
    }
    call.device = std::move(*verified);
  }
  return route.endpoint(call);
}

}  // namespace

Admission admit_request(const HttpRequest& head, ApiContext& ctx) {
  Gated gated = pass_gates(head, ctx.state.settings().port, ctx.erp_domain);
  Admission admission;
  if (gated.answer) {
    if (gated.origin_refused) {
      const std::string* origin = find_header(head.headers, "origin");
      ctx.events->refused(403, "origin", origin ? *origin : std::string(), std::string(path_of(head)));
    }
    admission.answer = std::move(gated.answer);
    return admission;
  }
  const Route& route = *gated.route;
  admission.max_body_bytes = route.max_body;
  std::shared_ptr<PrintJobBody> job;
  if (route.print_job) job = std::make_shared<PrintJobBody>();
  admission.body_consumer = job;
  admission.cors_origin = gated.cors;
  admission.handle = [&route, &ctx, job = std::move(job), cors = std::move(gated.cors)](
                         HttpRequest& req) mutable -> Handled {
    Call call{req, std::move(job), ctx, std::move(cors), {}};
    return judge(route, call);
  };
  return admission;
}

HttpResponse handle_request(const HttpRequest& request, ApiContext& ctx) {
  Admission admission = admit_request(request, ctx);
  if (admission.answer) return std::move(*admission.answer);
  HttpRequest req = request;
  if (req.body_state == BodyState::Complete && req.body.size() > admission.max_body_bytes) {
    req.body_state = BodyState::TooLarge;
  }
  if (admission.body_consumer && req.body_state == BodyState::Complete) {
    admission.body_consumer->begin(req.body.size());
    admission.body_consumer->consume(req.body);
    admission.body_consumer->finish();
    req.body.clear();
  }
  Handled handled = admission.handle(req);
  if (auto* work = std::get_if<LaneWork>(&handled)) {
    HttpResponse answer = work->run();
    if (work->after_answer) work->after_answer();
    return answer;
  }
  return std::get<HttpResponse>(std::move(handled));
}

Status serve_http(ApiContext& ctx, std::ostream& diagnostics) {
  auto server = HttpServer::bind(ctx.state.settings().port);
  if (!server) return fail(server.error());
  serve_http(ctx, **server, diagnostics);
  return {};
}

void serve_http(ApiContext& ctx, HttpServer& server, std::ostream& diagnostics) {
  say_line(diagnostics, "[agente impresión] escuchando en http://127.0.0.1:" + std::to_string(server.port()));
  diagnostics.flush();
  server.serve([&ctx](const HttpRequest& head) { return admit_request(head, ctx); });
}

}  // namespace zunel
