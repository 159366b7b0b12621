#include "security/persisted.h"

#include <boost/json.hpp>

#include "base/indented_json.h"
#include "base/json_members.h"
#include "base/strict_json.h"

namespace zunel {
namespace {

namespace json = boost::json;

// Where the device came from; absent means a pairing code.
void read_source(JsonMembers& r, DeviceSource& out) {
  const json::value* v = r.get("source");
  if (v == nullptr) return;
  if (v->is_string() && v->get_string() == "code") {
    out = DeviceSource::Code;
  } else if (v->is_string() && v->get_string() == "auto") {
    out = DeviceSource::Auto;
  } else {
    r.invalid();
  }
}

std::optional<PersistedDevice> read_device(const json::value& value) {
  JsonMembers r(value);
  PersistedDevice d;
  d.id = r.text("id");
  d.token = r.text("token");
  d.origin = r.text("origin");
  d.label = r.text("label");
  d.created = r.unsigned_number("created");
  read_source(r, d.source);
  d.negocio_id = r.optional_text("negocio_id");
  d.user_sub = r.optional_text("user_sub");
  d.expira = r.optional_unsigned("expira");
  if (!r.ok()) return std::nullopt;
  return d;
}

}  // namespace

std::optional<Persisted> parse_persisted(std::string_view text) {
  auto parsed = parse_strict_json(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object& root = parsed->get_object();
  Persisted p;
  JsonMembers r(*parsed);
  p.id = r.text("id");
  if (!r.ok()) return std::nullopt;
  if (const json::value* devices = root.if_contains("devices")) {
    if (!devices->is_array()) return std::nullopt;
    for (const json::value& element : devices->get_array()) {
      auto device = read_device(element);
      if (!device) return std::nullopt;
      p.devices.push_back(std::move(*device));
    }
  }
  if (const json::value* seqs = root.if_contains("revoked_seq")) {
    if (!seqs->is_object()) return std::nullopt;
    for (const auto& member : seqs->get_object()) {
      const auto n = json_unsigned(member.value());
      if (!n) return std::nullopt;
      p.revoked_seq.emplace(std::string(member.key()), *n);
    }
  }
  return p;
}

std::string write_persisted(const Persisted& p) {
  json::array devices;
  for (const PersistedDevice& d : p.devices) {
    json::object o;
    o["id"] = d.id;
    o["token"] = d.token;
    o["origin"] = d.origin;
    o["label"] = d.label;
    o["created"] = d.created;
    o["source"] = device_source_name(d.source);
    o["negocio_id"] = json_or_null(d.negocio_id);
    o["user_sub"] = json_or_null(d.user_sub);
    o["expira"] = json_or_null(d.expira);
    devices.push_back(std::move(o));
  }
  json::object seqs;
  for (const auto& [negocio, seq] : p.revoked_seq) seqs[negocio] = seq;
  json::object root;
  root["id"] = p.id;
  root["devices"] = std::move(devices);
  root["revoked_seq"] = std::move(seqs);
  return write_indented_json(root);
}

}  // namespace zunel
