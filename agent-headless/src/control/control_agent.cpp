#include "control/control_agent.h"

#include <boost/json.hpp>
#include <string>

#include "base/constants.h"
#include "base/json_members.h"
#include "base/strict_json.h"
#include "base/utf8.h"
#include "control/control_client.h"

namespace zunel {
namespace {

namespace json = boost::json;

std::string answering() {
  return "el agente responde en http://127.0.0.1:" + std::to_string(HTTP_PORT) + "/v1/ping";
}

}  // namespace

AgentIdentity identify_agent(const ControlLink& link, json::value* info_out) {
  if (!link.token) {
    return {AgentOwner::OtherUser, {}, {}, answering() + ", pero este usuario no tiene token de control"};
  }
  const Outcome<std::string> sent = link.send(control_request_line(ControlCommand::Info, *link.token));
  if (!sent) {
    const AgentOwner owner = sent.error() == AGENT_UNREACHABLE ? AgentOwner::Nobody : AgentOwner::Unknown;
    return {owner, {}, {}, "canal de control: " + sent.error()};
  }
  auto reply = parse_strict_json(trim_unicode_space(*sent));
  if (!reply) return {AgentOwner::Unknown, {}, {}, "canal de control: respuesta no válida"};
  const json::value* ok = json_member(*reply, "ok");
  if (!ok || !ok->is_bool() || !ok->get_bool()) {
    const auto error = json_text_member(*reply, "error");
    if (error == std::optional<std::string_view>("token inválido")) {
      return {AgentOwner::OtherUser, {}, {},
              answering() + ", pero rechaza el token de control de este usuario"};
    }
    return {AgentOwner::Unknown, {}, {},
            "canal de control: " + std::string(error.value_or("desconocido"))};
  }
  const json::value* info = json_member(*reply, "info");
  AgentIdentity identity{AgentOwner::ThisUser, {}, {}, {}};
  if (info) {
    identity.version = std::string(json_text_member(*info, "version").value_or(""));
    identity.executable = std::string(json_text_member(*info, "executable").value_or(""));
    identity.build = std::string(json_text_member(*info, "build").value_or(""));
    if (info_out) *info_out = *info;
  }
  return identity;
}

Status ControlChannelAgent::stop() {
  const StopOutcome stopped = stop_agent(link_);
  switch (stopped.result) {
    case StopResult::Stopped:
    case StopResult::NotRunning:  // it ended meanwhile
      return {};
    case StopResult::OtherUsersAgent:
      return fail(OTHER_USERS_AGENT);
    case StopResult::Failed:
      break;
  }
  return fail(stopped.text);
}

}  // namespace zunel
