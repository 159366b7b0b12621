#include "server/http_message.h"

#include <boost/beast/core/string.hpp>

namespace zunel {

const std::string* find_header(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (boost::beast::iequals(key, name)) return &value;
  }
  return nullptr;
}

}  // namespace zunel
