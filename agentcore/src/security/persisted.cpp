#include "security/persisted.h"

#include <boost/json.hpp>

#include "base/strict_json.h"
#include "security/indented_json.h"

namespace zunel {
namespace {

namespace json = boost::json;

std::optional<std::uint64_t> as_unsigned(const json::value& v) {
  if (v.is_uint64()) return v.get_uint64();
  if (v.is_int64() && v.get_int64() >= 0) return static_cast<std::uint64_t>(v.get_int64());
  return std::nullopt;
}

// Reads the members of one record; any rule broken marks the whole text invalid.
class Reader {
 public:
  explicit Reader(const json::object& object) : object_(object) {}
  bool ok() const { return ok_; }

  void required_string(std::string_view key, std::string& out) {
    const json::value* v = object_.if_contains(key);
    if (v == nullptr || !v->is_string()) return invalid();
    out = std::string(v->get_string());
  }
  void required_unsigned(std::string_view key, std::uint64_t& out) {
    const json::value* v = object_.if_contains(key);
    const auto n = v == nullptr ? std::nullopt : as_unsigned(*v);
    if (!n) return invalid();
    out = *n;
  }
  void nullable_string(std::string_view key, std::optional<std::string>& out) {
    const json::value* v = object_.if_contains(key);
    if (v == nullptr || v->is_null()) return;
    if (!v->is_string()) return invalid();
    out = std::string(v->get_string());
  }
  void nullable_unsigned(std::string_view key, std::optional<std::uint64_t>& out) {
    const json::value* v = object_.if_contains(key);
    if (v == nullptr || v->is_null()) return;
    const auto n = as_unsigned(*v);
    if (!n) return invalid();
    out = *n;
  }
  void source(DeviceSource& out) {
    const json::value* v = object_.if_contains("source");
    if (v == nullptr) return;
    if (v->is_string() && v->get_string() == "code") {
      out = DeviceSource::Code;
    } else if (v->is_string() && v->get_string() == "auto") {
      out = DeviceSource::Auto;
    } else {
      invalid();
    }
  }

 private:
  void invalid() { ok_ = false; }
  const json::object& object_;
  bool ok_ = true;
};

std::optional<PersistedDevice> read_device(const json::value& value) {
  if (!value.is_object()) return std::nullopt;
  Reader r(value.get_object());
  PersistedDevice d;
  r.required_string("id", d.id);
  r.required_string("token", d.token);
  r.required_string("origin", d.origin);
  r.required_string("label", d.label);
  r.required_unsigned("created", d.created);
  r.source(d.source);
  r.nullable_string("negocio_id", d.negocio_id);
  r.nullable_string("user_sub", d.user_sub);
  r.nullable_unsigned("expira", d.expira);
  if (!r.ok()) return std::nullopt;
  return d;
}

json::value optional_value(const std::optional<std::string>& v) {
  return v ? json::value(*v) : json::value(nullptr);
}
json::value optional_value(const std::optional<std::uint64_t>& v) {
  return v ? json::value(*v) : json::value(nullptr);
}

}  // namespace

std::optional<Persisted> parse_persisted(std::string_view text) {
  auto parsed = parse_strict_json(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object& root = parsed->get_object();
  Persisted p;
  Reader r(root);
  r.required_string("id", p.id);
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
      const auto n = as_unsigned(member.value());
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
    o["negocio_id"] = optional_value(d.negocio_id);
    o["user_sub"] = optional_value(d.user_sub);
    o["expira"] = optional_value(d.expira);
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
