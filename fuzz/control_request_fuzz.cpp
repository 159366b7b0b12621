// The control channel's request line on any bytes, as the server hands it
// over: parsed, token checked and run against a state. Every reply must be
// one line holding one JSON object with a boolean "ok".

#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/strict_json.h"
#include "base/utf8.h"
#include "control/control_protocol.h"
#include "fuzz_support.h"

namespace {

using namespace zunel;
using zunel::fuzzing::require;

// A real-looking token, so inputs from the seeds get past the token check
// and reach the commands.
const std::string TOKEN(64, 'a');

// Rebuilt now and then so devices and codes do not pile up over millions of
// inputs.
AgentState& state() {
  static zunel::fuzzing::FuzzServices services;
  static std::unique_ptr<AgentState> current;
  static unsigned uses = 0;
  if (!current || ++uses % 512 == 0) {
    current.reset();
    auto loaded = load_state(zunel::fuzzing::run_dir(), "1.0.1", services.services(), "[]");
    require(loaded.ok(), "load_state");
    current = std::move(*loaded);
  }
  return *current;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  (void)parse_peticion(line);
  if (!is_valid_utf8(line)) return 0;  // the server drops such lines unanswered
  const std::string reply = control_reply(line, TOKEN, state()).reply;
  require(reply.find('\n') == std::string::npos, "a reply spans lines");
  auto parsed = parse_strict_json(reply);
  require(parsed.ok() && parsed->is_object(), "a reply is not one JSON object");
  const boost::json::value* ok = parsed->as_object().if_contains("ok");
  require(ok != nullptr && ok->is_bool(), "a reply has no boolean \"ok\"");
  return 0;
}
