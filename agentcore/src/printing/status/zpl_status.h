#pragma once
// ZPL status: the frames of ~HQES and ~HS answers and what they tell.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "printing/status/printer_status.h"

namespace zunel {

// ~HQES flags with which a printer does not answer ~HS: media out (0x1),
// ribbon out (0x2), head open (0x4) and head too hot (0x10).
inline constexpr std::uint32_t ZPL_HS_SILENCED = 0x17;

// The error flags of a "~HQES" answer (the last hexadecimal group after
// "ERRORS:"); nothing when the text holds no such line.
std::optional<std::uint32_t> zpl_error_flags(std::string_view text);

// The text between each STX (0x02) and the ETX (0x03) that closes it, in
// order; an unclosed frame is left out.
std::vector<std::string> zpl_frames(std::string_view text);

// Fills what the ~HQES flags (when known) and the ~HS lines (when all
// three came) tell. Media out, ribbon out and head open come from either;
// ~HQES adds the cutter and head faults (nibbles 1 and 2; any other flag is
// "other"), ~HS the pause flag. A printer with an error or paused is
// offline; one that answered ~HQES with no error and ~HS with no pause is
// online.
void apply_zpl_answers(std::optional<std::uint32_t> error_flags, const std::vector<std::string>& hs_lines,
                       PrinterStatus& status);

// Whether the ~HS lines are an answer: three lines whose paper out, pause,
// head up and ribbon out fields read as numbers.
bool zpl_host_status_valid(const std::vector<std::string>& hs_lines);

// Whether a ZPL printer has finished its jobs, from the three ~HS lines:
// true when no format waits in the receive buffer (line 1, eee), none is
// partly received (line 1, h) and no label remains of a batch (line 2,
// uuuuuuuu); nothing when those fields do not read.
std::optional<bool> zpl_jobs_done(const std::vector<std::string>& hs_lines);

}  // namespace zunel
