#include "base/os_error.h"

namespace zunel {

std::string os_error_message(int code) {
  std::string text = system_message(code);
  return text.empty() ? "Unknown error " + std::to_string(code) : text;
}

std::string with_os_error_code(std::string_view message, long long code) {
  return std::string(message) + " (os error " + std::to_string(code) + ")";
}

std::string os_error_text(int code) { return with_os_error_code(os_error_message(code), code); }

std::string os_error_text(int code, std::string_view unknown) {
  const std::string text = system_message(code);
  return with_os_error_code(text.empty() ? unknown : text, code);
}

std::string os_error_text(const boost::system::error_code& ec) {
  return with_os_error_code(ec.message(), ec.value());
}

}  // namespace zunel
