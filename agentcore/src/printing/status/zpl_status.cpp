#include "printing/status/zpl_status.h"

#include <array>
#include <charconv>
#include <string_view>

#include "printing/status/fault_bits.h"

namespace zunel {
namespace {

// A field of a comma-separated ~HS line as a number; nothing when absent or
// not all digits.
std::optional<unsigned> hs_field(const std::vector<std::string_view>& fields, std::size_t i) {
  if (i >= fields.size() || fields[i].empty()) return std::nullopt;
  unsigned value = 0;
  const auto* end = fields[i].data() + fields[i].size();
  const auto [ptr, ec] = std::from_chars(fields[i].data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::vector<std::string_view> split_commas(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<std::uint32_t> zpl_error_flags(std::string_view text) {
  const std::size_t at = text.find("ERRORS:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view line = text.substr(at + 7);
  line = line.substr(0, line.find_first_of("\r\n\x03"));
  // "f gggggggg hhhhhhhh": the flags are the last group.
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    words.push_back(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  if (words.size() != 3) return std::nullopt;
  std::uint32_t flags = 0;
  const std::string_view last = words[2];
  const auto [ptr, ec] = std::from_chars(last.data(), last.data() + last.size(), flags, 16);
  if (ec != std::errc() || ptr != last.data() + last.size()) return std::nullopt;
  return flags;
}

std::vector<std::string> zpl_frames(std::string_view text) {
  std::vector<std::string> frames;
  for (;;) {
    const std::size_t stx = text.find('\x02');
    if (stx == std::string_view::npos) return frames;
    const std::size_t etx = text.find('\x03', stx + 1);
    if (etx == std::string_view::npos) return frames;
    // A frame restarted before its end: the later start counts.
    const std::size_t restart = text.rfind('\x02', etx);
    frames.emplace_back(text.substr(restart + 1, etx - restart - 1));
    text.remove_prefix(etx + 1);
  }
}

void apply_zpl_answers(std::optional<std::uint32_t> error_flags, const std::vector<std::string>& hs_lines,
                       PrinterStatus& status) {
  bool paused = false, errors = false, hs_known = false;
  if (error_flags) {
    const std::uint32_t f = *error_flags;
    status.paper = (f & 0x1) != 0 ? PaperState::Out : PaperState::Ok;
    status.cover_open = (f & 0x4) != 0;
    constexpr std::array<FaultBit, 6> FLAGS{{{0x4, PrinterFault::HeadOpen},
                                             {0x2, PrinterFault::RibbonOut},
                                             {0x8, PrinterFault::Cutter},
                                             {0x30, PrinterFault::AutoRecoverable},  // head or motor too hot
                                             {0x40, PrinterFault::Mechanical},       // bad head element
                                             {0xffffff80, PrinterFault::Other}}};
    status.error = first_fault(f, FLAGS);
    errors = f != 0;
  }
  if (hs_lines.size() >= 3) {
    const auto first = split_commas(hs_lines[0]);
    const auto second = split_commas(hs_lines[1]);
    const auto paper_out = hs_field(first, 1), pause = hs_field(first, 2);
    const auto head_up = hs_field(second, 2), ribbon_out = hs_field(second, 3);
    if (paper_out && pause && head_up && ribbon_out) {
      hs_known = true;
      paused = *pause != 0;
      if (*paper_out != 0) status.paper = PaperState::Out;
      else if (!error_flags) status.paper = PaperState::Ok;
      if (*head_up != 0) status.cover_open = true;
      else if (!error_flags) status.cover_open = false;
      if (!status.error && *head_up != 0) status.error = PrinterFault::HeadOpen;
      if (!status.error && *ribbon_out != 0) status.error = PrinterFault::RibbonOut;
      errors = errors || *paper_out != 0 || *head_up != 0 || *ribbon_out != 0;
    }
  }
  if (errors || paused) {
    status.online = false;
  } else if (error_flags && hs_known) {
    status.online = true;
  }
}

bool zpl_host_status_valid(const std::vector<std::string>& hs_lines) {
  if (hs_lines.size() != 3) return false;
  const auto first = split_commas(hs_lines[0]);
  const auto second = split_commas(hs_lines[1]);
  return hs_field(first, 1) && hs_field(first, 2) && hs_field(second, 2) && hs_field(second, 3);
}

std::optional<bool> zpl_jobs_done(const std::vector<std::string>& hs_lines) {
  if (hs_lines.size() < 3) return std::nullopt;
  const auto first = split_commas(hs_lines[0]);
  const auto second = split_commas(hs_lines[1]);
  const auto formats = hs_field(first, 4), partial = hs_field(first, 7), labels = hs_field(second, 8);
  if (!formats || !partial || !labels) return std::nullopt;
  return *formats == 0 && *partial == 0 && *labels == 0;
}

}  // namespace zunel
