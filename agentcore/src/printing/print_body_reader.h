#pragma once
// Reading of the print request body from its JSON text.
//
// Accepted forms: {"target":TARGET,"bytes":BYTES,"confirm":CONFIRM,
// "job_id":JOB_ID} with members in any order ("confirm" and "job_id"
// optional) and other members skipped, where "bytes_base64":BASE64 may
// stand instead of "bytes" (exactly one of the two: a body with both, or
// neither, is refused); or the array [TARGET,BYTES]. TARGET is read by the
// target reader (printing/print_target_reader.h): an object carrying "kind"
// ("network", "usb", "serial" or "winspool") anywhere among the kind's
// fields, other members skipped, or the array [KIND,FIELD...] with the
// fields in declaration order. BYTES is an array of integers 0 to 255.
// BASE64 is a string of base64 in the standard alphabet, padded, with
// nothing else in it (no white space or line breaks); JSON escapes in it
// count as the characters they stand for ("\/" is "/"). CONFIRM, when
// present and not null, is an object
// {"protocol": "escpos" | "star" | "zpl", "timeout_ms": n}, other members
// skipped: "protocol" is required for "network" and "serial" targets and not
// read for the others; "timeout_ms" is optional (absent or null), an integer
// from 1000 to 30000, 10000 when absent. A CONFIRM that does not read so
// leaves the body well-formed, with PrintBody::confirm one of the texts
// of print_target.h. JOB_ID, when present and not null, is a string of 1 to 64
// characters from A-Z a-z 0-9 . _ : - (the page's name for the job); any
// other value leaves the body well-formed with PrintBody::job_id the text
// JOB_ID_INVALID. Refused: duplicate members at any depth, nesting deeper than
// 128, anything but white space after the value, malformed UTF-8.
//
// The body is decoded as its text arrives, straight into the byte string:
// bodies of label jobs run to megabytes, and their text is never kept. The
// decoded bytes take at most three quarters of the text (base64), so the
// body's bound (print_body_bound.h) bounds them too.

#include <cstddef>
#include <memory>
#include <string_view>

#include "base/outcome.h"
#include "printing/print_target.h"

namespace zunel {

// Push-style decoder of one body. Feed the text in chunks of any size, cut
// anywhere (inside a number, a string or a UTF-8 sequence too), then call
// finish() once. The verdict does not depend on where the text was cut.
//
// Memory: the decoded bytes and target texts, the member names of the
// objects still open (to refuse duplicates), and a few bytes of state;
// never the body's text. The first refusal is final: later chunks are only
// checked for UTF-8.
class PrintBodyDecoder {
 public:
  // `size_hint`: the body's announced size when known (and already bounded
  // by the caller), so the bytes are reserved once; 0 when unknown.
  explicit PrintBodyDecoder(std::size_t size_hint = 0);
  ~PrintBodyDecoder();
  PrintBodyDecoder(const PrintBodyDecoder&) = delete;
  PrintBodyDecoder& operator=(const PrintBodyDecoder&) = delete;

  void feed(std::string_view chunk);

  // The body, or a short English diagnostic never meant for clients (the
  // print endpoint answers every refusal the same way). REQUIRES: called
  // once, after the last feed().
  [[nodiscard]] Outcome<PrintBody> finish();

  // Whether the text is well-formed UTF-8, apart from the JSON verdict (the
  // server answers malformed text before it checks the signature): before
  // finish(), whether everything fed so far can still be; after it, whether
  // the whole body is.
  bool valid_utf8() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole text at once, through the decoder.
[[nodiscard]] Outcome<PrintBody> read_print_body(std::string_view text);

}  // namespace zunel
