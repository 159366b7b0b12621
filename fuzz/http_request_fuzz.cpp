// Whole HTTP requests through the API's request handler, without sockets.
// The input is a request in a plain text form:
//
//   METHOD TARGET\n           (a leading '+' on METHOD adds valid signature
//   Name: value\n              headers over the body for a paired device)
//   ...\n
//   \n
//   body
//
// The printing platform is the tests' recording fake; the state lives in a
// temporary directory on a fake clock that moves one second per request.
// Every answer must carry a status code an HTTP client can read, and what
// the header decides must hold for the whole request: a request the header
// admits gets 413 exactly when its body is over the bound the header gave.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/hex.h"
#include "fuzz_support.h"
#include "print_fakes.h"
#include "request_signer.h"
#include "security/pairing_store.h"
#include "base/strict_json.h"
#include "server/api.h"
#include "server/error_codes.h"

namespace {

using namespace zunel;
using zunel::fuzzing::require;

const std::string ORIGIN = "https://app.erp.zunel.example";

// A state with one paired device, rebuilt now and then so nonces and devices
// do not pile up over millions of inputs.
struct Agent {
  zunel::fuzzing::FuzzServices services;
  FakePrintPlatform printing;
  std::unique_ptr<AgentState> state;
  std::vector<std::uint8_t> device_token;
  unsigned uses = 0;

  Agent() {
    // Every connection is made and takes all; no serial port or spooler
    // printer is there.
    printing.serial_ports.open_error = "No such file or directory";
    printing.spooler.failing[RecordingSpooler::Step::Open] = 1801;
  }

  AgentState& fresh() {
    if (state && ++uses % 256 != 0) return *state;
    state.reset();
    auto loaded = load_state(zunel::fuzzing::run_dir(), "1.0.1", services.services(), "[]");
    require(loaded.ok(), "load_state");
    state = std::move(*loaded);
    auto locked = state->lock();
    auto code = new_pairing_code(locked);
    require(code.ok(), "new_pairing_code");
    auto paired = pair_with_code(locked, ORIGIN, *code, "fuzz");
    require(paired.ok() && paired->has_value(), "pair_with_code");
    device_token = from_hex((*paired)->token_hex).value_or(std::vector<std::uint8_t>{});
    return *state;
  }
};

// Takes the text up to the next line feed (dropping a carriage return before
// it) and moves `rest` past it.
std::string_view take_line(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Agent agent;
  AgentState& state = agent.fresh();
  agent.services.clock.advance(1);
  // The fakes' records, which would otherwise grow without end.
  agent.printing.network.log.clear();
  agent.printing.network.received.clear();
  agent.printing.network.sent.clear();
  agent.printing.serial_ports.log.clear();
  agent.printing.spooler.log.clear();

  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::string_view start = take_line(rest);
  const bool sign = !start.empty() && start.front() == '+';
  if (sign) start.remove_prefix(1);
  const std::size_t space = start.find(' ');
  HttpRequest request;
  request.method = std::string(start.substr(0, space));
  if (space != std::string_view::npos) request.target = std::string(start.substr(space + 1));
  while (!rest.empty()) {
    const std::string_view line = take_line(rest);
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  request.body = std::string(rest);
  if (sign) {
    static std::uint64_t nonce = 0;
    const std::string nonce_text = "n" + std::to_string(++nonce);
    for (auto& header : zunel::testing::signed_headers(agent.device_token, request.body, nonce_text,
                                                       agent.services.clock.now_secs())) {
      request.headers.push_back(std::move(header));
    }
  }

  ApiContext context{state, agent.printing.platform, "erp.zunel.example"};
  // What the server decides from the header alone, before any body byte.
  HttpRequest head = request;
  head.body.clear();
  const Admission admission = admit_request(head, context);
  const HttpResponse response = handle_request(request, context);
  require(response.status >= 100 && response.status <= 599, "an answer without a valid status");
  if (response.status >= 400) {
    // Every error answer names its code, one of the agent's.
    auto body = parse_strict_json(response.body);
    const boost::json::value* code = body && body->is_object() ? body->as_object().if_contains("code") : nullptr;
    bool known = false;
    for (ErrorCode c : ALL_ERROR_CODES) {
      known = known || (code != nullptr && code->is_string() && code->get_string() == error_code_name(c));
    }
    require(known, "an error answer without one of the agent's codes");
  }
  if (!admission.answer) {
    require(admission.handle != nullptr, "an admitted request without its handler");
    // A route that reads no body (bound 0) ignores one.
    const bool over_bound = admission.max_body_bytes > 0 && request.body.size() > admission.max_body_bytes;
    require((response.status == 413) == over_bound, "413 otherwise than for a body over the header's bound");
  }
  return 0;
}
