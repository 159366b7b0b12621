#pragma once
// The agent's HTTP API: the gates, CORS, the routing table and the eight
// endpoints. Each request is judged on the server's I/O thread when it has
// arrived; what waits for a printer, the spooler or the disk runs in a lane:
// a print job in its printer's, the store's changes in the store's, the
// printer list in its own.

#include <memory>
#include <ostream>
#include <string>

#include "base/outcome.h"
#include "server/http_message.h"
#include "server/jobs/job_ledger.h"
#include "server/journal_events.h"

namespace zunel {

class AgentState;
class HttpServer;
struct PrintPlatform;

// What the endpoints reach; it must outlive the server. The state is shared
// with the control channel; each state operation takes its lock for that
// operation alone.
struct ApiContext {
  AgentState& state;
  PrintPlatform& printing;
  std::string erp_domain;  // the ERP's web domain, as built in
  // The devices' job ids; shared with whatever outlives one server. In
  // memory only unless given a ledger with its store.
  std::shared_ptr<JobLedger> jobs = std::make_shared<JobLedger>();
  // The journal's lines and the clocks of the API; journals nothing unless given one.
  std::shared_ptr<ServerEvents> events = std::make_shared<ServerEvents>();
};

// Decides on a request from its header alone, before any body byte is read:
// the answers of the Host gate, the preflight, the route lookup and the
// Origin gate, in that order; otherwise the route's body bound (16 KiB for
// pairing, provisioning and status queries, 1 MiB for revocation lists,
// 64 MiB for print jobs, 0 for the routes that read no body), the request's CORS origin, for
// print jobs a body consumer that hashes and decodes the body as it arrives
// (its text is never kept), and the handler that judges the whole request
// for its route: 413, "cuerpo ilegible", the signature (401), then the
// endpoint, which answers at once or gives the work for a lane. Takes no
// lock that is held across input or output, so it runs on the server's I/O
// thread; the port is the state's HTTP port.
Admission admit_request(const HttpRequest& head, ApiContext& context);

// Answers one whole request as the server would, lane work run on the
// calling thread (for tests and the fuzz targets); never fails outward. A
// body over its route's bound answers 413.
HttpResponse handle_request(const HttpRequest& request, ApiContext& context);

// Runs the API on 127.0.0.1 at the state's HTTP port, on the calling thread,
// until the process ends. Writes "[agente impresión] escuchando en
// http://127.0.0.1:<port>" to `diagnostics` once listening. Fails with the
// operating system's text when the port cannot be bound.
[[nodiscard]] Status serve_http(ApiContext& context, std::ostream& diagnostics);

// The same on a server the caller has already bound (HttpServer::bind), so
// that the port is held before anything else is prepared. Cannot fail.
void serve_http(ApiContext& context, HttpServer& server, std::ostream& diagnostics);

}  // namespace zunel
