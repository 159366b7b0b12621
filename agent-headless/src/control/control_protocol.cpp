#include "control/control_protocol.h"

#include <boost/json.hpp>

#include "base/clock.h"
#include "base/journal.h"
#include "base/json_members.h"
#include "base/outcome.h"
#include "base/strict_json.h"
#include "base/utf8.h"
#include "security/agent_info.h"
#include "security/agent_state.h"
#include "security/crypto.h"
#include "security/pairing_store.h"

namespace zunel {
namespace {

namespace json = boost::json;

std::string error_reply(std::string_view message) {
  json::object reply;
  reply["ok"] = false;
  reply["error"] = message;
  return json::serialize(reply);
}

json::object device_object(const DeviceInfo& d) {
  json::object o;
  o["id"] = d.id;
  o["origin"] = d.origin;
  o["label"] = d.label;
  o["created"] = d.created;
  o["source"] = device_source_name(d.source);
  o["negocio_id"] = d.negocio_id ? json::value(*d.negocio_id) : json::value(nullptr);
  o["expira"] = d.expira ? json::value(*d.expira) : json::value(nullptr);
  return o;
}


std::string pair_reply(AgentState& state) {
  Outcome<std::string> code = [&] {
    auto locked = state.lock();
    return new_pairing_code(locked);
  }();
  // Only a failing random source gets here; its text is the system's own.
  if (!code) return error_reply(code.error());
  json::object reply;
  reply["ok"] = true;
  reply["code"] = *code;
  return json::serialize(reply);
}

std::string info_reply(AgentState& state, std::string_view executable) {
  const AgentInfo info = [&] {
    auto locked = state.lock();
    return snapshot(locked);
  }();
  return R"({"ok":true,"info":)" + agent_info_json(info, executable) + "}";
}

std::string revoke_reply(const std::optional<std::string>& id, AgentState& state) {
  if (!id || id->empty()) return error_reply("falta id");
  bool removed = false;
  // Said done only once pairings.json holds it; otherwise nothing changed.
  const Status saved = state.change_and_save([&](LockedState& locked) { removed = revoke_device(locked, *id); });
  if (!saved) return error_reply("no se pudo guardar pairings.json: " + saved.error());
  return removed ? R"({"ok":true})" : R"({"ok":false})";
}

}  // namespace

std::string agent_info_json(const AgentInfo& info, std::string_view executable) {
  json::array devices;
  for (const DeviceInfo& d : info.devices) devices.push_back(device_object(d));
  json::object o;
  o["id"] = info.id;
  o["port"] = info.port;
  o["version"] = info.version;
  o["build"] = info.build;
  o["devices"] = std::move(devices);
  o["pairing_code"] = info.pairing_code ? json::value(*info.pairing_code) : json::value(nullptr);
  o["executable"] = executable.empty() ? json::value(nullptr) : json::value(executable);
  return json::serialize(o);
}

std::optional<Peticion> parse_peticion(std::string_view text) {
  auto parsed = parse_strict_json(text);
  if (!parsed) return std::nullopt;
  JsonMembers members(*parsed);
  Peticion request{members.text("token"), members.text("cmd"), members.optional_text("id")};
  if (!members.ok()) return std::nullopt;
  return request;
}

namespace {

void journal_command(Journal* journal, Clock* clock, const Peticion& request, const std::string& reply) {
  if (journal == nullptr || (request.cmd != "pair" && request.cmd != "revoke")) return;
  boost::json::object members;
  members["command"] = request.cmd;
  if (request.cmd == "revoke") {
    members["device"] = request.id ? boost::json::value(*request.id) : boost::json::value(nullptr);
  }
  members["ok"] = reply.starts_with("{\"ok\":true");
  journal->record(journal_line((clock ? *clock : system_clock()).now_secs(), CONTROL_EVENT, members));
}

}  // namespace

ControlAnswer control_reply(std::string_view line, std::string_view expected_token, AgentState& state,
                            std::string_view executable, Journal* journal, Clock* clock) {
  const std::optional<Peticion> request = parse_peticion(trim_unicode_space(line));
  if (!request) return {error_reply("json inválido")};
  // The length is not secret (every token is 64 hex digits); the contents are
  // compared in full whatever the first difference.
  if (!crypto::equal_constant_time(request->token, expected_token)) return {error_reply("token inválido")};

  std::string reply;
  if (request->cmd == "pair") {
    reply = pair_reply(state);
  } else if (request->cmd == "info") {
    reply = info_reply(state, executable);
  } else if (request->cmd == "revoke") {
    reply = revoke_reply(request->id, state);
  } else if (request->cmd == "stop") {
    return {R"({"ok":true})", true};
  } else {
    reply = error_reply("cmd desconocido: " + request->cmd);
  }
  journal_command(journal, clock, *request, reply);
  return {reply};
}

}  // namespace zunel
