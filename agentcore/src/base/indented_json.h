#pragma once
// Stored JSON: two spaces per level, a line feed after each opening bracket
// and each element, ": " between key and value, [] and {} when empty, and no
// line break after the last closing bracket. Members keep the object's order.

#include <string>

#include <boost/json/value.hpp>

namespace zunel {

std::string write_indented_json(const boost::json::value& value);

}  // namespace zunel
