#pragma once
// A printer's status as the agent answers it, and the pure decoders that
// turn what a printer or a spooler said into it.
//
// Nothing is reported that was not read: a field the channel cannot tell,
// or that the printer did not answer, stays unknown (null, "unknown").

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "printing/printer_protocol.h"
#include "printing/spooler.h"

namespace zunel {

enum class StatusSource { Device, Spooler };
enum class PaperState { Ok, NearEnd, Out, Unknown };
enum class PrinterFault { Cutter, Mechanical, Unrecoverable, AutoRecoverable, HeadOpen, RibbonOut, Other };
enum class QueueState { Idle, Processing, Stopped };

// A spooler queue: its state, the spooler's reasons and the jobs it holds.
struct QueueStatus {
  QueueState state = QueueState::Idle;
  std::vector<std::string> reasons;
  std::uint32_t jobs = 0;
  bool operator==(const QueueStatus&) const = default;
};

// The answer to a status query; the members are those of its JSON form.
struct PrinterStatus {
  StatusSource source = StatusSource::Device;
  bool reachable = false;  // connected, or the queue exists
  bool answered = false;   // the printer (or spooler) replied within the time-out
  bool busy = false;       // a job held the printer past the time-out; nothing was asked
  std::optional<bool> online;
  PaperState paper = PaperState::Unknown;
  std::optional<bool> cover_open;
  std::optional<PrinterFault> error;  // none, or not known
  // The drawer connector's pin 3; whether HIGH means open depends on the drawer.
  std::optional<bool> drawer_pin3_high;
  std::optional<QueueStatus> queue;  // spooler answers only
  std::vector<std::uint8_t> raw;     // the bytes read, as read
  std::uint64_t elapsed_ms = 0;
  bool operator==(const PrinterStatus&) const = default;
};

// The JSON object of the answer, members in the order above: "source"
// ("device" | "spooler"), "reachable" (null when busy), "answered", "busy", "online"
// (true | false | null), "paper" ("ok" | "near_end" | "out" | "unknown"),
// "cover_open", "error" (null | "cutter" | "mechanical" | "unrecoverable" |
// "auto_recoverable" | "head_open" | "ribbon_out" | "other"),
// "drawer_pin3_high", "queue" ({"state": "idle" | "processing" | "stopped",
// "reasons": [...], "jobs": n} or null), "raw" (lower-case hex, two digits a
// byte), "elapsed_ms".
std::string printer_status_json(const PrinterStatus& status);

// The answer when a job held the printer past the query's time-out: busy,
// nothing asked, so nothing known.
PrinterStatus busy_printer_status(StatusSource source, std::uint64_t elapsed_ms);

// ESC/POS ------------------------------------------------------------------

// The replies to DLE EOT 1 (printer), 2 (offline cause), 3 (error cause)
// and 4 (roll paper sensor); absent when that query got no valid reply.
struct EscPosReplies {
  std::optional<std::uint8_t> printer, offline_cause, error_cause, paper_sensor;
};

// Picks DLE EOT replies out of a printer's input, byte by byte: a reply has
// bits 1 and 4 set and bits 0 and 7 clear ((b & 0x93) == 0x12). Automatic
// status frames (a first byte with (b & 0x93) == 0x10 and three more),
// XON (0x11) and XOFF (0x13) are skipped; any other byte is noise, which
// makes the input invalid for good: no printer answering DLE EOT sends it.
class EscPosReplyFilter {
 public:
  // The byte, when it is a DLE EOT reply.
  std::optional<std::uint8_t> take(std::uint8_t b);
  bool invalid() const { return invalid_; }

 private:
  int frame_left_ = 0;  // bytes still to skip of an automatic status frame
  bool invalid_ = false;
};

// Fills what the replies tell: online and the drawer pin from n=1, the
// cover and a paper-end stop from n=2, the error from n=3 (or "other" when
// only n=2 says an error occurred), the paper from n=4 (and n=2).
void apply_escpos_replies(const EscPosReplies& replies, PrinterStatus& status);

// What a printer sends back after a job that ends in the confirmation
// request: GS ( H fn 48 with a 4-byte id, then GS r 1. Byte by byte, it
// hears "printed" when `37 22 id 00` arrives (sent once the job's data has
// finished printing) and "fence" for a GS r 1 reply (identity bits 4 and 7
// clear: sent once every byte before it was processed). A `37 22` frame with
// another id (an earlier job's), DLE EOT replies, automatic status frames
// and XON/XOFF are skipped. Anything else makes the input "invalid", for
// good: a second fence, a byte with bit 7 set or another stray byte, a 37
// not followed by 22, a frame not ended by 00. A printer that sends such
// bytes (noise, a flood) has not answered, whatever else it sent.
class EscPosConfirmReader {
 public:
  enum class Heard { Nothing, Fence, Printed, Invalid };
  explicit EscPosConfirmReader(std::array<std::uint8_t, 4> id) : id_(id) {}
  Heard take(std::uint8_t b);

 private:
  std::array<std::uint8_t, 4> id_;
  std::array<std::uint8_t, 7> frame_{};
  std::size_t frame_size_ = 0;  // bytes of a 37 22 frame read so far
  int skip_ = 0;                // bytes still to skip of an automatic status frame
  bool fenced_ = false;
  bool invalid_ = false;
};

// Star ---------------------------------------------------------------------

// The length of a Star automatic status block that `header` (its first
// byte, identity (b & 0x91) == 0x01) announces; 0 when `header` is not one.
std::size_t star_block_length(std::uint8_t header);

// Fills what a whole block (7 bytes for version 1, 9 for version 3) tells:
// byte 3 offline and cover open, byte 4 errors, byte 6 paper near end and
// end. REQUIRES: block.size() == star_block_length(block[0]) >= 7.
void apply_star_block(std::span<const std::uint8_t> block, PrinterStatus& status);

// ZPL ----------------------------------------------------------------------

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

// Spooler ------------------------------------------------------------------

// Windows: offline when the printer is set to "use printer offline"
// (Attributes 0x400, the one reliable signal) or Status says OFFLINE (0x80)
// or NOT_AVAILABLE (0x1000); paper out from PAPER_OUT (0x10), cover open
// from DOOR_OPEN (0x400000), an error from PAPER_JAM (mechanical), ERROR,
// PAPER_PROBLEM, OUTPUT_BIN_FULL, NO_TONER or USER_INTERVENTION (other).
// A clear bit tells nothing. The queue is stopped when PAUSED, processing
// while it holds jobs or Status says it prints, else idle; its reasons
// name each bit set.
void apply_winspool_report(const WinspoolPrinterReport& report, PrinterStatus& status);

// A spooled job's state, as far as a confirmation goes.
enum class SpooledJob { Queued, Transmitted, Failed };

// Windows: Transmitted when the job has left the queue or Status says
// PRINTED (0x80) or COMPLETE (0x1000, "data transfer complete"); Failed when
// it is being deleted or was deleted (DELETING 0x4, DELETED 0x100) without
// either; otherwise Queued, whatever else it says (an error or a paused
// printer may yet clear). CUPS: completed (9) Transmitted, canceled (7) and
// aborted (8) Failed, any other state Queued.
SpooledJob spooled_job_state(const SpoolerJobReport& report);

// CUPS: the queue's state as given (3 idle, 4 processing, 5 stopped; any
// other value leaves the queue unknown) and its reasons without "none".
// The device fields only where a reason says so, whatever its severity
// suffix: "offline" offline, "media-empty" paper out, "media-low" near end,
// "cover-open" and "door-open" cover open, "media-jam" a mechanical error.
// A stopped queue is not an offline printer.
void apply_cups_report(const CupsPrinterReport& report, PrinterStatus& status);

}  // namespace zunel
