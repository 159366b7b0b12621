#include "base/os_error.h"

#include <system_error>

#include "base/utf8.h"

namespace zunel {

std::string system_message(int code) {
  // libstdc++ gives strerror's text for the system category.
  const std::string text = std::system_category().message(code);
  return std::string(is_valid_utf8(text) ? trim_unicode_space(text) : text);
}

}  // namespace zunel
