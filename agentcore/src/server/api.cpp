#include "server/api.h"

#include <array>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <memory>
#include <optional>
#include <string_view>

#include "base/constants.h"
#include "base/random_source.h"
#include "base/sha256.h"
#include "base/utf8.h"
#include "printing/confirmation.h"
#include "printing/print_body_reader.h"
#include "printing/printer_list.h"
#include "printing/printer_key.h"
#include "printing/printing.h"
#include "printing/serial_port.h"
#include "printing/status_body_reader.h"
#include "printing/status_query.h"
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

HttpResponse invalid_json(const Cors& cors) {
  return json_response(400, cors, "{\"error\":\"json inválido\"}");
}

// A serial target must name a serial port of this system: nothing else (a
// terminal, a file) is ever opened for a page.
std::optional<HttpResponse> serial_port_refused(const PrintTarget& target, const Cors& cors) {
  const auto* serial = std::get_if<PrintTarget::Serial>(&target.kind);
  if (serial == nullptr || serial_port_name_allowed(serial->port)) return std::nullopt;
  return json_response(400, cors, "{\"error\":\"puerto serie no válido\"}");
}

// What an endpoint gets: the request with its body's text (empty for a print
// job, whose body was decoded as it arrived), the decoded job, the context
// and the CORS origin the gates allowed.
struct Call {
  HttpRequest& req;
  std::shared_ptr<PrintJobBody> job;  // for the route that takes print jobs; null otherwise
  ApiContext& ctx;
  Cors cors;
};

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
  // it, and the API is the same on every platform.
  return json_response(200, call.cors,
                       "{\"ok\":true,\"id\":" + json_string(settings.id) +
                           ",\"version\":" + json_string(settings.version) +
                           ",\"paired\":" + (paired ? "true" : "false") +
                           ",\"platform\":\"windows\",\"capabilities\":[\"print\",\"printers\","
                           "\"provision\",\"revocations\",\"status\"]}");
}

Handled printers(Call& call) {
  return service_work(PRINTER_LIST_LANE, [&ctx = call.ctx, cors = call.cors] {
    auto list = list_printers(ctx.printing);
    if (!list) return json_response(500, cors, error_body(list.error()));
    return json_response(200, cors, "{\"printers\":" + printer_list_json(*list) + "}");
  });
}

Handled pair(Call& call) {
  auto body = decode_pair_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    Outcome<std::optional<DeviceCredentials>> paired = [&] {
      auto locked = ctx.state.lock();
      return pair_with_code(locked, *cors, body.code, body.label.value_or(""));
    }();
    if (!paired) return json_response(500, cors, error_body(paired.error()));
    if (!paired->has_value()) {
      return json_response(401, cors, "{\"error\":\"código inválido o expirado\"}");
    }
    return credentials_answer(**paired, ctx.state.settings().id, cors);
  });
}

Handled provision(Call& call) {
  auto body = decode_prov_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    std::optional<Outcome<DeviceCredentials>> provisioned;
    {
      // One hold of the lock from the ticket check to the new device.
      auto locked = ctx.state.lock();
      const auto claims = check_provisioning_ticket(locked, body.ticket);
      if (!claims) return json_response(401, cors, "{\"error\":\"ticket inválido\"}");
      provisioned = provision_device(locked, *cors, body.label.value_or(""), body.device_id, *claims);
    }
    if (!*provisioned) return json_response(500, cors, error_body(provisioned->error()));
    return credentials_answer(**provisioned, ctx.state.settings().id, cors);
  });
}

Handled revocations(Call& call) {
  auto body = decode_rev_body(call.req.body);
  if (!body) return invalid_json(call.cors);
  return service_work(STORE_LANE, [&ctx = call.ctx, cors = call.cors, body = std::move(*body)] {
    const std::optional<std::uint64_t> seq = [&] {
      auto locked = ctx.state.lock();
      return apply_revocation_list(locked, body.list);
    }();
    if (!seq) return json_response(401, cors, "{\"error\":\"lista inválida\"}");
    return json_response(200, cors, "{\"applied_seq\":" + std::to_string(*seq) + "}");
  });
}

// A job asked to be confirmed holds its printer's lane through the
// confirmation too: nothing reaches the printer between the job and the
// printer's word on it.
HttpResponse print_now(PrintJobBody& job, PrintPlatform& printing, const Cors& cors) {
  const PrintBody& body = *job.decoded();
  if (const std::optional<ConfirmRequest>& confirm = *body.confirm) {
    auto confirmed = print_and_confirm(body.target, body.bytes, *confirm, printing, system_random());
    if (!confirmed) return json_response(502, cors, error_body(confirmed.error()));
    return json_response(200, cors, confirmation_json(*confirmed));
  }
  const Status printed = print_to_target(body.target, body.bytes, printing);
  if (!printed) return json_response(502, cors, error_body(printed.error()));
  return json_response(200, cors, "{\"ok\":true}");
}

// A job joins the lane of its printer; one that reaches no printer (USB) is
// refused at once.
Handled print(Call& call) {
  if (!call.job->decoded()) return invalid_json(call.cors);
  const auto& confirm = call.job->decoded()->confirm;
  if (!confirm) return json_response(400, call.cors, error_body(confirm.error()));
  if (auto refused = serial_port_refused(call.job->decoded()->target, call.cors)) return std::move(*refused);
  const std::optional<std::string> key = printer_key(call.job->decoded()->target);
  if (!key) return print_now(*call.job, call.ctx.printing, call.cors);
  return LaneWork{*key, LaneKind::Printer,
                  [job = call.job, &printing = call.ctx.printing, cors = call.cors] {
                    return print_now(*job, printing, cors);
                  }};
}

// A status query asks the printer itself, in its printer's lane, so it never
// meets a job on the wire. When the lane is still busy after the query's own
// time-out, the answer says so and the printer is not touched.
Handled printer_status(Call& call) {
  auto request = read_status_body(call.req.body);
  if (!request) return json_response(400, call.cors, error_body(request.error()));
  if (auto refused = serial_port_refused(request->target, call.cors)) return std::move(*refused);
  auto query = [request = *request, &printing = call.ctx.printing, cors = call.cors] {
    auto status = query_printer_status(request, printing);
    if (!status) return json_response(502, cors, error_body(status.error()));
    return json_response(200, cors, printer_status_json(*status));
  };
  const std::optional<std::string> key = printer_key(request->target);
  if (!key) return query();  // a USB target: refused as a print is
  const StatusSource source = std::holds_alternative<PrintTarget::WinSpool>(request->target.kind)
                                  ? StatusSource::Spooler
                                  : StatusSource::Device;
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
constexpr std::array<Route, 7> ROUTES{{
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
    {.method = "POST", .path = "/v1/print", .needs_origin = true, .max_body = 64 * MiB,
     .signed_request = true, .print_job = true, .endpoint = print},
    {.method = "POST", .path = "/v1/printers/status", .needs_origin = true, .max_body = 16 * KiB,
     .signed_request = true, .print_job = false, .endpoint = printer_status},
}};

HttpResponse origin_refused() {
  return json_response(403, std::nullopt, "{\"error\":\"origen no permitido\"}");
}

// The checks that need only the request's header, in their answer order:
// Host, preflight, route, Origin. Either an answer, or the route with the
// request's CORS origin.
struct Gated {
  std::optional<HttpResponse> answer;
  const Route* route = nullptr;
  Cors cors;
};

Gated answered(HttpResponse answer) {
  Gated gated;
  gated.answer = std::move(answer);
  return gated;
}

Gated pass_gates(const HttpRequest& req, std::uint16_t port, std::string_view erp_domain) {
  const std::string* host = find_header(req.headers, "host");
  const std::string* origin = find_header(req.headers, "origin");
  const std::string_view path = std::string_view(req.target).substr(0, req.target.find('?'));

  if (!host_allowed(host ? *host : std::string_view(), port)) {
    return answered(json_response(403, std::nullopt, "{\"error\":\"host no permitido\"}"));
  }
  Cors cors;
  if (origin && origin_allowed(*origin, erp_domain)) cors = *origin;

  if (req.method == "OPTIONS") return answered(cors ? preflight_response(*cors) : origin_refused());

  for (const Route& route : ROUTES) {
    if (route.method != req.method || route.path != path) continue;
    if (route.needs_origin && !cors) return answered(origin_refused());
    return Gated{std::nullopt, &route, std::move(cors)};
  }
  return answered(json_response(404, cors, "{\"error\":\"no encontrado\"}"));
}

// Judges a whole request of `route` that the gates passed: its bound, its
// text, its signature, then the endpoint. On the I/O thread, so a job is
// judged when it arrives, whatever waits in its printer's lane.
Handled judge(const Route& route, Call& call) {
  const HttpRequest& req = call.req;
  const bool reads_body = route.max_body > 0;
  if (reads_body) {
    if (req.body_state == BodyState::TooLarge) {
      return json_response(413, call.cors, "{\"error\":\"cuerpo demasiado grande\"}");
    }
    bool readable = req.body_state == BodyState::Complete;
    if (readable) readable = call.job ? call.job->valid_utf8() : is_valid_utf8(req.body);
    if (!readable) return json_response(400, call.cors, "{\"error\":\"cuerpo ilegible\"}");
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
    if (verify_request(call.ctx.state, fields, *call.cors, body_digest) != RequestVerdict::Accept) {
      return json_response(401, call.cors, "{\"error\":\"no autorizado\"}");
    }
  }
  return route.endpoint(call);
}

}  // namespace

Admission admit_request(const HttpRequest& head, ApiContext& ctx) {
  Gated gated = pass_gates(head, ctx.state.settings().port, ctx.erp_domain);
  Admission admission;
  if (gated.answer) {
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
    Call call{req, std::move(job), ctx, std::move(cors)};
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
  if (auto* work = std::get_if<LaneWork>(&handled)) return work->run();
  return std::get<HttpResponse>(std::move(handled));
}

Status serve_http(ApiContext& ctx, std::ostream& diagnostics) {
  auto server = HttpServer::bind(ctx.state.settings().port);
  if (!server) return fail(server.error());
  serve_http(ctx, **server, diagnostics);
  return {};
}

void serve_http(ApiContext& ctx, HttpServer& server, std::ostream& diagnostics) {
  diagnostics << "[agente impresión] escuchando en http://127.0.0.1:" << server.port() << '\n';
  diagnostics.flush();
  server.serve([&ctx](const HttpRequest& head) { return admit_request(head, ctx); });
}

}  // namespace zunel
