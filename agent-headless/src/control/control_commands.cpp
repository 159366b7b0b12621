#include "control/control_commands.h"

#include <algorithm>
#include <boost/json.hpp>
#include <map>
#include <vector>

#include "base/indented_json.h"
#include "base/json_members.h"
#include "base/strict_json.h"
#include "base/utf8.h"
#include "control/control_client.h"
#include "server/error_codes.h"
#include "main/transliterate.h"
#include "service/running_agent.h"

namespace zunel {
namespace {

namespace json = boost::json;

const char* wire_name(ControlCommand command) {
  switch (command) {
    case ControlCommand::Pair:
      return "pair";
    case ControlCommand::Info:
      return "info";
    case ControlCommand::Revoke:
      return "revoke";
    case ControlCommand::Stop:
      return "stop";
  }
  return "";
}

// A copy whose objects list their members in ascending byte order of the
// keys, at every level.
json::value with_sorted_keys(const json::value& value) {
  if (const json::object* object = value.if_object()) {
    std::vector<const json::key_value_pair*> members;
    members.reserve(object->size());
    for (const json::key_value_pair& member : *object) members.push_back(&member);
    std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) {
      return std::string_view(a->key().data(), a->key().size()) <
             std::string_view(b->key().data(), b->key().size());
    });
    json::object sorted;
    sorted.reserve(members.size());
    for (const json::key_value_pair* member : members) {
      sorted.emplace(member->key(), with_sorted_keys(member->value()));
    }
    return sorted;
  }
  if (const json::array* array = value.if_array()) {
    json::array sorted;
    sorted.reserve(array->size());
    for (const json::value& element : *array) sorted.push_back(with_sorted_keys(element));
    return sorted;
  }
  return value;
}

// The reply as a value; anything that does not parse counts as null.
json::value parse_reply(std::string_view line) {
  if (!is_valid_utf8(line)) return nullptr;
  auto parsed = parse_strict_json(trim_unicode_space(line));
  if (!parsed) return nullptr;
  return std::move(*parsed);
}

void print_success(ControlCommand command, const json::value& reply, std::ostream& out) {
  switch (command) {
    case ControlCommand::Pair:
      if (const auto code = json_text_member(reply, "code")) {
        out << transliterate_for_console("Código de emparejamiento: " + std::string(*code))
            << '\n'
            << transliterate_for_console(
                   "Éntralo en el ERP → Configuración → Agente de impresión (caduca pronto).")
            << '\n';
      }
      break;
    case ControlCommand::Info:
      if (const json::value* info = json_member(reply, "info")) {
        out << write_indented_json(with_sorted_keys(*info)) << '\n';
      }
      break;
    case ControlCommand::Revoke:
      out << "Dispositivo revocado.\n";
      break;
    case ControlCommand::Stop:
      out << AGENT_STOPPED << '\n';
      break;
  }
  out.flush();
}

bool is_ok(const json::value& reply) {
  const json::value* ok = json_member(reply, "ok");
  return ok && ok->is_bool() && ok->get_bool();
}

// The agent refuses the token of every user but the one who started it.
bool token_refused(const json::value& reply) {
  return !is_ok(reply) && json_text_member(reply, "error") == std::optional<std::string_view>("token inválido");
}

int fail_with(std::ostream& err, std::string_view text) {
  err << text << '\n';
  err.flush();
  return 1;
}

// Until the agent's control channel no longer takes connections: the agent
// has ended.
bool router_has_no_agent(const json::value& reply) {
  return !is_ok(reply) && json_text_member(reply, "error") ==
                              std::optional<std::string_view>(error_code_name(ErrorCode::NoAgentForUser));
}

bool wait_until_gone(const ControlLink& link, std::chrono::milliseconds wait) {
  constexpr std::chrono::milliseconds PAUSE(100);
  const std::string info = control_request_line(ControlCommand::Info, *link.token);
  for (std::chrono::milliseconds waited(0); waited <= wait; waited += PAUSE) {
    const Outcome<std::string> reply = link.send(info);
    if (!reply && reply.error() == AGENT_UNREACHABLE) return true;
    // On a machine with a router the port stays open: the router answers
    // that this user has no agent any more.
    if (reply && router_has_no_agent(parse_reply(*reply))) return true;
    link.sleep(PAUSE);
  }
  return false;
}

}  // namespace

std::string control_request_line(ControlCommand command, std::string_view token,
                                 std::string_view id) {
  // A generic map, so the keys come out in ascending byte order.
  std::map<std::string, std::string> request{{"cmd", wire_name(command)},
                                             {"token", std::string(token)}};
  if (command == ControlCommand::Revoke) request.emplace("id", std::string(id));
  json::object object;
  for (const auto& [key, value] : request) object.emplace(key, value);
  return json::serialize(object);
}

int print_control_reply(ControlCommand command, std::string_view reply_line, std::ostream& out,
                        std::ostream& err) {
  const json::value reply = parse_reply(reply_line);
  if (is_ok(reply)) {
    print_success(command, reply, out);
    return 0;
  }
  if (token_refused(reply)) return fail_with(err, OTHER_USERS_AGENT);
  err << "Error: " << json_text_member(reply, "error").value_or("desconocido") << '\n';
  err.flush();
  return 1;
}

int run_control_command(ControlCommand command, std::string_view id, const ControlLink& link,
                        std::ostream& out, std::ostream& err) {
  if (command == ControlCommand::Stop) {
    const StopOutcome stopped = stop_agent(link);
    switch (stopped.result) {
      case StopResult::Stopped:
        print_success(command, nullptr, out);
        return 0;
      case StopResult::NotRunning:
        return fail_with(err, AGENT_NOT_RUNNING);
      case StopResult::OtherUsersAgent:
        return fail_with(err, OTHER_USERS_AGENT);
      case StopResult::Failed:
        break;
    }
    return fail_with(err, stopped.text);
  }
  if (!link.token) {
    // This user never started an agent, yet one answers: another user's.
    return fail_with(err, link.agent_answers_ping() ? OTHER_USERS_AGENT : link.token.error());
  }
  const Outcome<std::string> reply = link.send(control_request_line(command, *link.token, id));
  if (!reply) return fail_with(err, reply.error());
  return print_control_reply(command, *reply, out, err);
}

StopOutcome stop_agent(const ControlLink& link, std::chrono::milliseconds wait) {
  if (!link.token) {
    return {link.agent_answers_ping() ? StopResult::OtherUsersAgent : StopResult::NotRunning, {}};
  }
  const Outcome<std::string> sent = link.send(control_request_line(ControlCommand::Stop, *link.token));
  if (!sent) {
    if (sent.error() == AGENT_UNREACHABLE && !link.agent_answers_ping()) {
      return {StopResult::NotRunning, {}};
    }
    return {StopResult::Failed, sent.error()};
  }
  const json::value reply = parse_reply(*sent);
  if (token_refused(reply)) return {StopResult::OtherUsersAgent, {}};
  if (!is_ok(reply)) {
    return {StopResult::Failed,
            "Error: " + std::string(json_text_member(reply, "error").value_or("desconocido"))};
  }
  if (!wait_until_gone(link, wait)) {
    return {StopResult::Failed, "el agente aceptó detenerse pero sigue corriendo tras " +
                                    std::to_string(wait.count() / 1000) + " s"};
  }
  return {StopResult::Stopped, {}};
}

}  // namespace zunel
