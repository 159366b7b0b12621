#include "printing/os_error_text.h"

#include <system_error>

#include "base/utf8.h"

namespace zunel {

std::string os_error_message(int code) {
  // libstdc++ gives strerror's text for the system category.
  const std::string text = std::system_category().message(code);
  return std::string(is_valid_utf8(text) ? trim_unicode_space(text) : text);
}

std::string os_error_text(int code) {
  return os_error_message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace zunel
