#pragma once
// Writes the bytes of a Windows shell link (.lnk, [MS-SHLLINK]) that starts
// an executable on a local drive with arguments: header, target ID list,
// relative path, working directory and arguments, all strings UTF-16LE, no
// LinkInfo and no extra data. Plain byte layout, built on every platform.

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"

namespace zunel {

struct ShellLinkTarget {
  // Absolute path on a drive, such as u"C:\\Agent\\zunel-print-agent.exe".
  // "/" is taken as "\\"; a "\\\\?\\" prefix is dropped.
  std::u16string executable;
  std::uint32_t file_size = 0;  // the executable's size, low 32 bits
  std::u16string arguments;
};

// The whole file. Fails (with an English diagnostic) when the path is not an
// absolute drive path, has "." or ".." components, or a string or item does
// not fit the format's 16-bit sizes.
[[nodiscard]] Outcome<std::vector<std::uint8_t>> build_shell_link(const ShellLinkTarget& target);

}  // namespace zunel
