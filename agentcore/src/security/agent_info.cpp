#include "security/agent_info.h"

#include <boost/json.hpp>

namespace zunel {
namespace {

namespace json = boost::json;

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

}  // namespace

std::string agent_info_json(const AgentInfo& info) {
  json::array devices;
  for (const DeviceInfo& d : info.devices) devices.push_back(device_object(d));
  json::object o;
  o["id"] = info.id;
  o["port"] = info.port;
  o["version"] = info.version;
  o["devices"] = std::move(devices);
  o["pairing_code"] = info.pairing_code ? json::value(*info.pairing_code) : json::value(nullptr);
  return json::serialize(o);
}

}  // namespace zunel
