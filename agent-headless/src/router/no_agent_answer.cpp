#include "router/no_agent_answer.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <optional>

#include "server/answers.h"
#include "server/gates.h"
#include "server/wire_form.h"

namespace zunel {
namespace http = boost::beast::http;

bool no_agent_head_read(std::string_view received) {
  return received.size() >= NO_AGENT_HEAD_BYTES || received.find("\r\n\r\n") != std::string_view::npos;
}

std::string no_agent_http_answer(std::string_view received, std::string_view erp_domain) {
  http::request_parser<http::empty_body> parser;
  parser.header_limit(NO_AGENT_HEAD_BYTES);
  parser.eager(false);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(received.data(), received.size()), ec);

  std::optional<std::string> cors;
  unsigned version = 11;
  bool head_request = false;
  bool preflight = false;
  if (!ec && parser.is_header_done()) {
    const auto& request = parser.get();
    version = request.version() == 10 ? 10 : 11;
    head_request = request.method() == http::verb::head;
    preflight = request.method() == http::verb::options;
    const auto origin = request.find(http::field::origin);
    if (origin != request.end() && origin_allowed(origin->value(), erp_domain)) {
      cors = std::string(origin->value());
    }
  }
  if (preflight && cors) return wire_form(preflight_response(*cors), version, false, false);
  return wire_form(error_answer(503, cors, ErrorCode::NoAgentForUser, NO_AGENT_TEXT), version, false,
                   head_request);
}

}  // namespace zunel
