#pragma once
// The agent's HTTP API: the gates, CORS, the routing table and the six
// endpoints. Requests are handled one at a time on the serving thread.

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "base/outcome.h"
#include "server/http_message.h"

namespace zunel {

class AgentState;
class HttpServer;
struct PrintPlatform;

// What the endpoints reach. The state is shared with the control channel;
// each state operation takes its lock for that operation alone.
struct ApiContext {
  AgentState& state;
  PrintPlatform& printing;
  std::string erp_domain;  // the ERP's web domain, as built in
};

// Decides on a request from its header alone, before any body byte is read:
// the answers of the Host gate, the preflight, the route lookup and the
// Origin gate, in that order; otherwise the route's body bound (16 KiB for
// pairing and provisioning, 1 MiB for revocation lists, 64 MiB for print
// jobs, 0 for the routes that read no body), the request's CORS origin, and
// for print jobs a body consumer that hashes and decodes the body as it
// arrives, so its text is never kept. Takes no lock, so it may run on the
// server's I/O thread; `port` is the state's HTTP port.
Admission admit_request(const HttpRequest& head, std::uint16_t port, std::string_view erp_domain);

// Answers one request completely; never fails outward. Passes the same gates
// as admit_request first, so a request that was not admitted gets the same
// answer here; a body over its route's bound answers 413. A print job comes
// with the consumer admit_request gave it; one without (a request built by
// hand) is decoded from `body`, with the same answers.
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
