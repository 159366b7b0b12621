#pragma once
// The print body built from a JSON parser's events (Boost.JSON's
// basic_parser handler) as they arrive: which value is the target, the
// bytes (an array of numbers, or base64 text), the confirmation and the job
// id, and which are skipped. The rules are those of print_body_reader.h,
// whose decoder owns the parser and feeds it the text; the target's own
// rules are the target reader's.
//
// Memory: the decoded bytes and texts, the member names of the objects
// still open (to refuse duplicates), a few bytes of state; never the text.

#include <boost/json/error.hpp>
#include <boost/json/string_view.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/member_names.h"
#include "printing/base64_stream.h"
#include "printing/print_target.h"
#include "printing/print_target_reader.h"

namespace zunel {

// The decoder's diagnostics for a body whose bytes come neither way or both
// ways (an ambiguous job must not print); the print endpoint answers either
// with PRINT_BYTES_ONE_WAY.
inline constexpr const char* BODY_WITHOUT_BYTES = "body without \"bytes\" or \"bytes_base64\"";
inline constexpr const char* BODY_WITH_BOTH_BYTES = "both \"bytes\" and \"bytes_base64\"";
inline constexpr const char* PRINT_BYTES_ONE_WAY =
    "el trabajo lleva sus bytes en \"bytes\" o en \"bytes_base64\", uno solo de los dos";


class PrintBodyHandler {
 public:
  // The parser's own bounds: none beyond the body's (the caller bounds the text).
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  // The body, once the parser took the whole document without a refusal.
  PrintBody body;
  // A short English diagnostic of the first refusal, which stopped the parser.
  std::string reason;
  // Announced size of the whole text: no byte array in it can hold more
  // elements than half of it, and no base64 text more bytes than three
  // quarters of it, so the bytes are reserved once.
  std::size_t text_size = 0;
  // Set when the "bytes" array begins, as the parser takes its "[".
  bool bytes_opened = false;

  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code& ec);
  bool on_object_begin(boost::json::error_code& ec);
  bool on_object_end(std::size_t, boost::json::error_code& ec);
  bool on_array_begin(boost::json::error_code& ec);
  bool on_array_end(std::size_t, boost::json::error_code& ec);
  bool on_key_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::json::error_code& ec);
  // A string's slot is taken at its first part; only the kind, the target
  // fields and the job id keep their text, base64 is decoded as it passes,
  // skipped strings are dropped.
  bool on_string_part(boost::json::string_view s, std::size_t, boost::json::error_code& ec) {
    if (!in_string_) {
      in_string_ = true;
      string_slot_ = take_slot();
      if (string_slot_ == Slot::Base64) begin_base64();
    }
    return take_string_part(string_slot_, s, ec);
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::json::error_code& ec);
  bool on_number_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_int64(std::int64_t i, boost::json::string_view, boost::json::error_code& ec) {
    // The hot path when the fast path leaves a byte to the parser.
    if (!stack_.empty() && stack_.back().type == Frame::Type::BytesArray) {
      if (i < 0 || i > 255) return refuse(ec, "byte out of range");
      body.bytes.push_back(static_cast<std::uint8_t>(i));
      return true;
    }
    if (i < 0) return on_other(ec);
    return on_unsigned(static_cast<std::uint64_t>(i), ec);
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::json::error_code& ec) {
    return on_unsigned(u, ec);
  }
  bool on_double(double, boost::json::string_view, boost::json::error_code& ec) { return on_other(ec); }
  bool on_bool(bool, boost::json::error_code& ec) { return on_other(ec); }
  bool on_null(boost::json::error_code& ec);
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }

 private:
  // What the next value in the document stands for.
  enum class Slot { Body, Target, Bytes, Byte, Base64, Kind, Field, Confirm, JobId, Skip, Invalid };

  struct Frame {
    enum class Type {
      BodyObject, BodyArray, TargetObject, TargetArray, BytesArray, ConfirmObject, SkipObject, SkipArray
    };
    Type type = Type::SkipArray;
    std::size_t index = 0;       // the body array: elements begun so far
    Slot pending = Slot::Skip;   // objects: what the value after the last key is
    CapturedScalar* field = nullptr;  // ...and where it goes when it is a field
    MemberNameSet keys;          // objects: keys seen, to refuse duplicates
  };

  // The "confirm" member: absent (or null), an object whose two members are
  // captured as a target's fields are, or any other value.
  struct ConfirmMember {
    enum class Shape { Absent, Object, Other } shape = Shape::Absent;
    CapturedScalar protocol;
    CapturedScalar timeout_ms;
  };

  std::vector<Frame> stack_;
  std::string part_;               // the key or string being assembled from its parts
  bool in_string_ = false;         // between a string's first part and its end
  Slot string_slot_ = Slot::Skip;  // ...and what that string stands for
  bool root_taken_ = false;
  bool have_body_ = false;
  bool have_target_ = false;
  bool have_bytes_ = false;
  TargetReader target_;
  Base64Stream base64_;
  ConfirmMember confirm_;
  enum class JobIdShape { Absent, Text, Other } job_id_ = JobIdShape::Absent;
  std::string job_id_text_;           // kept to one character past the longest id
  CapturedScalar* slot_field_ = nullptr;  // set by take_slot() for Slot::Field

  Slot take_slot();
  void begin_base64();
  bool take_string_part(Slot slot, boost::json::string_view s, boost::json::error_code& ec);
  bool on_unsigned(std::uint64_t u, boost::json::error_code& ec);
  bool on_other(boost::json::error_code& ec);
  Outcome<std::optional<ConfirmRequest>> judge_confirm() const;
  bool end_target(boost::json::error_code& ec);
  bool push(Frame::Type type);
  bool refuse(boost::json::error_code& ec, std::string_view why);
};

}  // namespace zunel
