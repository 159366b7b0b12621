#include "base/private_files.h"

#include <fstream>
#include <iterator>

namespace zunel {

std::optional<std::string> read_whole_file(const std::filesystem::path& file) {
  // A directory opens as a stream on some systems and reads as empty.
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

}  // namespace zunel
