#pragma once
// A print job's destination and the print request body.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <variant>
#include <vector>

#include "base/outcome.h"
#include "printing/printer_protocol.h"

namespace zunel {

// The four kinds of destination. Texts are kept exactly as received: no
// trimming, case folding or validation of their form.

// "network": raw TCP to host:port. `host` is a name, an IPv4 literal or an
// IPv6 literal without brackets.
struct NetworkTarget {
  std::string host;
  std::uint16_t port = 0;
  bool operator==(const NetworkTarget&) const = default;
};

// "usb": accepted on the wire, refused by print_to_target with a message
// that points to the spooler destination. The ids are never used.
struct UsbTarget {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  bool operator==(const UsbTarget&) const = default;
};

// "serial": a serial port by name (COM3, /dev/ttyUSB0) and its baud rate.
struct SerialTarget {
  std::string port;
  std::uint32_t baud = 0;
  bool operator==(const SerialTarget&) const = default;
};

// "winspool": a printer known to the system's print spooler, by name.
struct WinSpoolTarget {
  std::string printer;
  bool operator==(const WinSpoolTarget&) const = default;
};

// Where a job goes, tagged on the wire by "kind".
struct PrintTarget {
  using Network = NetworkTarget;
  using Usb = UsbTarget;
  using Serial = SerialTarget;
  using WinSpool = WinSpoolTarget;

  std::variant<Network, Usb, Serial, WinSpool> kind;
  bool operator==(const PrintTarget&) const = default;
};

// Whether the agent speaks to the printer itself (raw TCP, serial), in the
// printer's language, rather than through a spooler (or not at all: "usb").
// Only such a target needs a protocol for a status query or a confirmation.
bool speaks_directly(const PrintTarget& target);

inline constexpr std::chrono::milliseconds CONFIRM_MIN_TIMEOUT{1000};
inline constexpr std::chrono::milliseconds CONFIRM_MAX_TIMEOUT{30000};
inline constexpr std::chrono::milliseconds CONFIRM_DEFAULT_TIMEOUT{10000};

// A job's confirmation, as the page asked for it: the printer's language
// (network and serial targets only; a spooler is asked for the job's state)
// and how long to wait for the printer's word.
struct ConfirmRequest {
  std::optional<StatusProtocol> protocol;
  std::chrono::milliseconds timeout = CONFIRM_DEFAULT_TIMEOUT;
  bool operator==(const ConfirmRequest&) const = default;
};

// The texts of a "confirm" member that does not read, meant for the page
// (the 400 answer's "error"):
inline constexpr const char* CONFIRM_INVALID =
    "\"confirm\" debe ser un objeto: {\"protocol\": \"escpos\", \"star\" o \"zpl\", \"timeout_ms\": n}";
inline constexpr const char* CONFIRM_PROTOCOL_MISSING =
    "falta \"confirm.protocol\" (\"escpos\", \"star\" o \"zpl\") para una impresora de red o serie";
inline constexpr const char* CONFIRM_PROTOCOL_UNKNOWN =
    "\"confirm.protocol\" desconocido: debe ser \"escpos\", \"star\" o \"zpl\"";
inline constexpr const char* CONFIRM_TIMEOUT_INVALID =
    "\"confirm.timeout_ms\" debe ser un entero entre 1000 y 30000";

// The body of a print request: the destination and the exact bytes to send
// (printer command data, possibly empty, sent as numbers or as base64), which
// reach the printer unchanged,
// and the confirmation asked for: none, one, or the page's text of why the
// "confirm" member does not read (a well-formed body whose confirmation is
// refused with a 400 of its own).
struct PrintBody {
  PrintTarget target;
  std::vector<std::uint8_t> bytes;
  Outcome<std::optional<ConfirmRequest>> confirm = std::optional<ConfirmRequest>();
  // The page's name for the job ("job_id"): none, the name, or the page's
  // text of why it does not read (a 400 of its own, like "confirm").
  Outcome<std::optional<std::string>> job_id = std::optional<std::string>();
};

inline constexpr std::size_t JOB_ID_MAX_CHARS = 64;
inline constexpr const char* JOB_ID_INVALID =
    "\"job_id\" debe ser un texto de 1 a 64 caracteres: letras A-Z a-z, cifras y . _ : -, no solo puntos";

// Whether `text` is a job id a new print may carry (the rule of
// JOB_ID_INVALID above). Ids made only of dots are refused: a browser
// cannot write them as a URL's path segment ("." and ".." are resolved
// away, even percent-encoded), so a page could never ask after them.
bool valid_job_id(std::string_view text);
// Whether `text` may name a job already printed: the same characters, dots
// alone included (as earlier versions took them).
bool readable_job_id(std::string_view text);

// {"kind":...} with the kind's fields, never the bytes: the journal's and
// the job fingerprint's form of a target.
std::string target_json(const PrintTarget& target);

}  // namespace zunel
