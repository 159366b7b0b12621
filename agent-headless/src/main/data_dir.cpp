#include "main/data_dir.h"

#include <array>
#include <cstdint>

#include "base/hex.h"
#include "base/private_files.h"
#include "base/utf8.h"
#include "main/local_files.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

fs::path control_token_file(const fs::path& data_dir) { return data_dir / "control.token"; }

}  // namespace

fs::path resolve_data_dir() {
  if (auto roaming = roaming_app_data_dir()) return *roaming / "Zunel" / "PrintAgent" / "data";
  return temp_fallback_data_dir();
}

fs::path state_dir_of(const fs::path& data_dir) { return data_dir / "agent"; }

Outcome<std::string> prepare_control_token(const fs::path& data_dir, RandomSource& random) {
  std::array<std::uint8_t, 32> bytes{};
  if (Status filled = random.fill(bytes); !filled) return fail(filled.error());
  std::string token = to_hex(bytes);
  if (Status written = write_private_file(control_token_file(data_dir), token); !written) {
    return fail(written.error());
  }
  return token;
}

Outcome<std::string> read_control_token(const fs::path& data_dir) {
  const auto content = read_whole_file(control_token_file(data_dir));
  if (!content || !is_valid_utf8(*content)) return fail(CONTROL_TOKEN_MISSING);
  return std::string(trim_unicode_space(*content));
}

}  // namespace zunel
