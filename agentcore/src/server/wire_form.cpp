#include "server/wire_form.h"

#include <boost/beast/http/status.hpp>

namespace zunel {

std::string wire_form(const HttpResponse& answer, unsigned version, bool keep_alive, bool head) {
  const auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(answer.status));
  const bool bodyless = answer.status < 200 || answer.status == 204 || answer.status == 304;
  std::string out;
  std::size_t size = 64 + reason.size() + answer.body.size();
  for (const auto& [name, value] : answer.headers) size += name.size() + value.size() + 4;
  out.reserve(size);
  out += "HTTP/";
  out += static_cast<char>('0' + version / 10);
  out += '.';
  out += static_cast<char>('0' + version % 10);
  out += ' ';
  out += std::to_string(answer.status);
  out += ' ';
  out.append(reason.data(), reason.size());
  out += "\r\n";
  for (const auto& [name, value] : answer.headers) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  if (!bodyless) {
    out += "Content-Length: ";
    out += std::to_string(answer.body.size());
    out += "\r\n";
  }
  if (version >= 11 && !keep_alive) out += "Connection: close\r\n";
  if (version < 11 && keep_alive) out += "Connection: keep-alive\r\n";
  out += "\r\n";
  if (!bodyless && !head) out += answer.body;
  return out;
}

}  // namespace zunel
