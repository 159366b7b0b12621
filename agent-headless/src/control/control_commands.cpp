#include "control/control_commands.h"

#include <algorithm>
#include <boost/json.hpp>
#include <map>
#include <vector>

#include "base/indented_json.h"
#include "base/json_members.h"
#include "base/strict_json.h"
#include "base/utf8.h"
#include "main/transliterate.h"

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
  }
  out.flush();
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
  const json::value* ok = json_member(reply, "ok");
  if (ok && ok->is_bool() && ok->get_bool()) {
    print_success(command, reply, out);
    return 0;
  }
  err << "Error: " << json_text_member(reply, "error").value_or("desconocido") << '\n';
  err.flush();
  return 1;
}

int run_control_command(ControlCommand command, const Outcome<std::string>& token,
                        std::string_view id, const ControlSender& send, std::ostream& out,
                        std::ostream& err) {
  if (!token) {
    err << token.error() << '\n';
    err.flush();
    return 1;
  }
  const Outcome<std::string> reply = send(control_request_line(command, *token, id));
  if (!reply) {
    err << reply.error() << '\n';
    err.flush();
    return 1;
  }
  return print_control_reply(command, *reply, out, err);
}

}  // namespace zunel
