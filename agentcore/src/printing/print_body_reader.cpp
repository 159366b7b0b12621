#include "printing/print_body_reader.h"

#include <algorithm>
#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/member_names.h"
#include "base/strict_json.h"
#include "base/utf8.h"
#include "printing/byte_pairs.h"

namespace zunel {
namespace {

namespace json = boost::json;

enum class FieldType { Text, U16, U32 };

struct FieldLayout {
  std::string_view name;
  FieldType type;
};

struct KindLayout {
  std::string_view name;
  std::size_t field_count;
  std::array<FieldLayout, 2> fields;
};

using TargetKinds = decltype(PrintTarget::kind);

// The kinds and their fields in declaration order (the order of the array
// form), in the order of PrintTarget's alternatives.
constexpr std::array<KindLayout, 4> KINDS{{
    {"network", 2, {{{"host", FieldType::Text}, {"port", FieldType::U16}}}},
    {"usb", 2, {{{"vendor_id", FieldType::U16}, {"product_id", FieldType::U16}}}},
    {"serial", 2, {{{"port", FieldType::Text}, {"baud", FieldType::U32}}}},
    {"winspool", 1, {{{"printer", FieldType::Text}, {}}}},
}};

// Every member name that some kind reads; a target object keeps these until
// its "kind" is known, since "kind" may come last.
constexpr std::array<std::string_view, 6> FIELD_NAMES{"host",      "port", "vendor_id",
                                                      "product_id", "baud", "printer"};

static_assert(KINDS.size() == std::variant_size_v<TargetKinds>, "every kind of target has its layout");

// One captured target field, before its kind says what type it must have.
struct Scalar {
  enum class Type { Absent, Null, Text, Unsigned, Other } type = Type::Absent;
  std::string text;
  std::uint64_t number = 0;
};

std::optional<std::size_t> kind_index(std::string_view name) {
  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    if (KINDS[i].name == name) return i;
  }
  return std::nullopt;
}

constexpr std::optional<std::size_t> field_name_index(std::string_view name) {
  for (std::size_t i = 0; i < FIELD_NAMES.size(); ++i) {
    if (FIELD_NAMES[i] == name) return i;
  }
  return std::nullopt;
}

// Where each kind's fields sit in FIELD_NAMES, worked out by the compiler: a
// field missing from FIELD_NAMES does not compile.
constexpr auto FIELD_SLOTS = [] {
  std::array<std::array<std::size_t, 2>, KINDS.size()> slots{};
  for (std::size_t k = 0; k < KINDS.size(); ++k) {
    for (std::size_t i = 0; i < KINDS[k].field_count; ++i) {
      const auto slot = field_name_index(KINDS[k].fields[i].name);
      if (!slot) throw "a field of a kind is missing from FIELD_NAMES";
      slots[k][i] = *slot;
    }
  }
  return slots;
}();

bool fits(const Scalar& s, FieldType type) {
  switch (type) {
    case FieldType::Text:
      return s.type == Scalar::Type::Text;
    case FieldType::U16:
      return s.type == Scalar::Type::Unsigned && s.number <= std::numeric_limits<std::uint16_t>::max();
    case FieldType::U32:
      return s.type == Scalar::Type::Unsigned && s.number <= std::numeric_limits<std::uint32_t>::max();
  }
  return false;
}

// Alternative I of the target: each case of make_target() names its type,
// so a case out of the variant's order does not compile.
template <std::size_t I, class T>
PrintTarget alternative(T value) {
  static_assert(std::is_same_v<T, std::variant_alternative_t<I, TargetKinds>>, "KINDS follows the variant");
  return {TargetKinds(std::in_place_index<I>, std::move(value))};
}

// REQUIRES: `kind` indexes KINDS; fits() holds for every field of the kind.
PrintTarget make_target(std::size_t kind, std::array<Scalar, 2>& v) {
  static_assert(std::variant_size_v<TargetKinds> == 4, "a new kind of target needs its case here");
  switch (kind) {
    case 0:
      return alternative<0>(PrintTarget::Network{std::move(v[0].text), static_cast<std::uint16_t>(v[1].number)});
    case 1:
      return alternative<1>(
          PrintTarget::Usb{static_cast<std::uint16_t>(v[0].number), static_cast<std::uint16_t>(v[1].number)});
    case 2:
      return alternative<2>(PrintTarget::Serial{std::move(v[0].text), static_cast<std::uint32_t>(v[1].number)});
    case 3:
      return alternative<3>(PrintTarget::WinSpool{std::move(v[0].text)});
  }
  std::abort();  // kind_index() gives only indexes of KINDS
}

// The "confirm" member: absent (or null), an object whose two members are
// captured as the target's fields are, or any other value.
struct ConfirmMember {
  enum class Shape { Absent, Object, Other } shape = Shape::Absent;
  Scalar protocol;
  Scalar timeout_ms;
};

// The confirmation a read "confirm" member asks for, or the page's text of
// why it does not read, once the target's kind is known: only a printer
// spoken to directly needs its language.
Outcome<std::optional<ConfirmRequest>> judge_confirm(const ConfirmMember& member, const PrintTarget& target) {
  if (member.shape == ConfirmMember::Shape::Absent) return std::optional<ConfirmRequest>();
  if (member.shape == ConfirmMember::Shape::Other) return fail(CONFIRM_INVALID);
  ConfirmRequest request;
  if (speaks_directly(target)) {
    const Scalar& protocol = member.protocol;
    if (protocol.type == Scalar::Type::Absent || protocol.type == Scalar::Type::Null) {
      return fail(CONFIRM_PROTOCOL_MISSING);
    }
    if (protocol.type == Scalar::Type::Text) request.protocol = protocol_named(protocol.text);
    if (!request.protocol) return fail(CONFIRM_PROTOCOL_UNKNOWN);
  }
  const Scalar& timeout = member.timeout_ms;
  if (timeout.type != Scalar::Type::Absent && timeout.type != Scalar::Type::Null) {
    if (timeout.type != Scalar::Type::Unsigned ||
        timeout.number < static_cast<std::uint64_t>(CONFIRM_MIN_TIMEOUT.count()) ||
        timeout.number > static_cast<std::uint64_t>(CONFIRM_MAX_TIMEOUT.count())) {
      return fail(CONFIRM_TIMEOUT_INVALID);
    }
    request.timeout = std::chrono::milliseconds(timeout.number);
  }
  return std::optional<ConfirmRequest>(request);
}

// What the next value in the document stands for.
enum class Slot { Body, Target, Bytes, Byte, Kind, Field, Confirm, JobId, Skip, Invalid };

struct Frame {
  enum class Type {
    BodyObject, BodyArray, TargetObject, TargetArray, BytesArray, ConfirmObject, SkipObject, SkipArray
  };
  Type type = Type::SkipArray;
  std::size_t index = 0;          // arrays: elements begun so far
  Slot pending = Slot::Skip;      // objects: what the value after the last key is
  Scalar* field = nullptr;        // ...and where it goes when it is a target field
  MemberNameSet keys;  // objects: keys seen, to refuse duplicates
};

// basic_parser handler that builds the PrintBody as the events arrive. Any
// refusal sets `reason` and stops the parser.
class BodyHandler {
 public:
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  PrintBody body;
  const char* reason = nullptr;
  // Announced size of the whole text: no byte array in it can hold more
  // elements than half of it, so the bytes are reserved once.
  std::size_t text_size = 0;
  // Set when the "bytes" array begins, as the parser takes its "[".
  bool bytes_opened = false;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code& ec) {
    if (root_ == Slot::Target ? !have_target_ : !have_body_) return refuse(ec, "no body");
    return true;
  }

  // The document is one target alone rather than a body.
  void read_target_alone() { root_ = Slot::Target; }

  bool on_object_begin(json::error_code& ec) {
    const Slot slot = take_slot();
    switch (slot) {
      case Slot::Body:
        return push(Frame::Type::BodyObject);
      case Slot::Target:
        return push(Frame::Type::TargetObject);
      case Slot::Field:
        slot_field_->type = Scalar::Type::Other;
        return push(Frame::Type::SkipObject);
      case Slot::Confirm:
        confirm_.shape = ConfirmMember::Shape::Object;
        return push(Frame::Type::ConfirmObject);
      case Slot::JobId:
        job_id_ = JobIdShape::Other;
        return push(Frame::Type::SkipObject);
      case Slot::Skip:
        return push(Frame::Type::SkipObject);
      default:
        return refuse(ec, "unexpected object");
    }
  }

  bool on_object_end(std::size_t, json::error_code& ec) {
    const Frame::Type type = stack_.back().type;
    stack_.pop_back();
    if (type == Frame::Type::BodyObject) {
      if (!have_target_ || !have_bytes_) return refuse(ec, "body without target or bytes");
      body.confirm = judge_confirm(confirm_, body.target);
      if (job_id_ == JobIdShape::Text && !valid_job_id(job_id_text_)) job_id_ = JobIdShape::Other;
      if (job_id_ == JobIdShape::Other) body.job_id = fail(JOB_ID_INVALID);
      if (job_id_ == JobIdShape::Text) body.job_id = std::optional<std::string>(std::move(job_id_text_));
      have_body_ = true;
    } else if (type == Frame::Type::TargetObject) {
      if (!kind_) return refuse(ec, "target without kind");
      std::array<Scalar, 2> values;
      for (std::size_t i = 0; i < KINDS[*kind_].field_count; ++i) values[i] = std::move(named_[FIELD_SLOTS[*kind_][i]]);
      return finish_target(ec, values);
    }
    return true;
  }

  bool on_array_begin(json::error_code& ec) {
    const Slot slot = take_slot();
    switch (slot) {
      case Slot::Body:
        return push(Frame::Type::BodyArray);
      case Slot::Target:
        return push(Frame::Type::TargetArray);
      case Slot::Bytes:
        body.bytes.reserve(text_size / 2 + 1);
        bytes_opened = true;
        return push(Frame::Type::BytesArray);
      case Slot::Field:
        slot_field_->type = Scalar::Type::Other;
        return push(Frame::Type::SkipArray);
      case Slot::Confirm:
        confirm_.shape = ConfirmMember::Shape::Other;
        return push(Frame::Type::SkipArray);
      case Slot::JobId:
        job_id_ = JobIdShape::Other;
        return push(Frame::Type::SkipArray);
      case Slot::Skip:
        return push(Frame::Type::SkipArray);
      default:
        return refuse(ec, "unexpected array");
    }
  }

  bool on_array_end(std::size_t, json::error_code& ec) {
    const Frame frame = std::move(stack_.back());
    stack_.pop_back();
    switch (frame.type) {
      case Frame::Type::BodyArray:
        if (frame.index != 2) return refuse(ec, "body array needs exactly two elements");
        have_body_ = true;
        return true;
      case Frame::Type::TargetArray:
        if (!kind_ || frame.index != 1 + KINDS[*kind_].field_count) {
          return refuse(ec, "wrong number of target fields");
        }
        return finish_target(ec, positional_);
      case Frame::Type::BytesArray:
        have_bytes_ = true;
        return true;
      default:
        return true;
    }
  }

  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }

  bool on_key(json::string_view s, std::size_t, json::error_code& ec) {
    part_.append(s.data(), s.size());
    Frame& f = stack_.back();
    if (f.keys.contains(part_)) return refuse(ec, "duplicate member");
    f.field = nullptr;
    f.pending = Slot::Skip;
    if (f.type == Frame::Type::BodyObject) {
      if (part_ == "target") f.pending = Slot::Target;
      if (part_ == "bytes") f.pending = Slot::Bytes;
      if (part_ == "confirm") f.pending = Slot::Confirm;
      if (part_ == "job_id") f.pending = Slot::JobId;
    } else if (f.type == Frame::Type::ConfirmObject) {
      if (part_ == "protocol") {
        f.pending = Slot::Field;
        f.field = &confirm_.protocol;
      } else if (part_ == "timeout_ms") {
        f.pending = Slot::Field;
        f.field = &confirm_.timeout_ms;
      }
    } else if (f.type == Frame::Type::TargetObject) {
      if (part_ == "kind") {
        f.pending = Slot::Kind;
      } else if (const auto i = field_name_index(part_)) {
        f.pending = Slot::Field;
        f.field = &named_[*i];
      }
    }
    f.keys.insert(std::move(part_));
    part_.clear();
    return true;
  }

  // A string's slot is taken at its first part; only the kind and target
  // fields keep their text, skipped strings are dropped as they pass.
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    if (!in_string_) {
      in_string_ = true;
      string_slot_ = take_slot();
    }
    if (string_slot_ == Slot::Kind || string_slot_ == Slot::Field) part_.append(s.data(), s.size());
    if (string_slot_ == Slot::JobId) keep_job_id_part(s);
    return true;
  }

  bool on_string(json::string_view s, std::size_t, json::error_code& ec) {
    const Slot slot = in_string_ ? string_slot_ : take_slot();
    in_string_ = false;
    if (slot == Slot::Kind || slot == Slot::Field) part_.append(s.data(), s.size());
    if (slot == Slot::JobId) keep_job_id_part(s);
    bool ok = true;
    if (slot == Slot::Kind) {
      kind_ = kind_index(part_);
      if (!kind_) ok = refuse(ec, "unknown kind");
    } else if (slot == Slot::Field) {
      slot_field_->type = Scalar::Type::Text;
      slot_field_->text = std::move(part_);
    } else if (slot == Slot::Confirm) {
      confirm_.shape = ConfirmMember::Shape::Other;
    } else if (slot == Slot::JobId) {
      job_id_ = JobIdShape::Text;
    } else if (slot != Slot::Skip) {
      ok = refuse(ec, "unexpected string");
    }
    part_.clear();
    return ok;
  }

  bool on_number_part(json::string_view, json::error_code&) { return true; }

  bool on_int64(std::int64_t i, json::string_view, json::error_code& ec) {
    // The hot path: one call per byte of the job.
    if (!stack_.empty() && stack_.back().type == Frame::Type::BytesArray) {
      if (i < 0 || i > 255) return refuse(ec, "byte out of range");
      body.bytes.push_back(static_cast<std::uint8_t>(i));
      return true;
    }
    if (i < 0) return on_other(ec);
    return on_unsigned(static_cast<std::uint64_t>(i), ec);
  }

  bool on_uint64(std::uint64_t u, json::string_view, json::error_code& ec) {
    return on_unsigned(u, ec);
  }

  bool on_double(double, json::string_view, json::error_code& ec) { return on_other(ec); }
  bool on_bool(bool, json::error_code& ec) { return on_other(ec); }
  bool on_null(json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot == Slot::Field) slot_field_->type = Scalar::Type::Null;
    // A null "confirm" or "job_id": none.
    if (slot == Slot::Field || slot == Slot::Confirm || slot == Slot::JobId || slot == Slot::Skip) return true;
    return refuse(ec, "unexpected value");
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  std::vector<Frame> stack_;
  std::string part_;  // the key or string being assembled from its parts
  bool in_string_ = false;           // between a string's first part and its end
  Slot string_slot_ = Slot::Skip;    // ...and what that string stands for
  bool root_taken_ = false;
  Slot root_ = Slot::Body;  // what the document is
  bool have_body_ = false;
  bool have_target_ = false;
  bool have_bytes_ = false;
  std::optional<std::size_t> kind_;
  std::array<Scalar, FIELD_NAMES.size()> named_;  // object form, by FIELD_NAMES
  std::array<Scalar, 2> positional_;              // array form, in declaration order
  ConfirmMember confirm_;
  enum class JobIdShape { Absent, Text, Other } job_id_ = JobIdShape::Absent;
  std::string job_id_text_;  // kept to one character past the longest id
  Scalar* slot_field_ = nullptr;                  // set by take_slot() for Slot::Field

  void keep_job_id_part(json::string_view s) {
    const std::size_t room = JOB_ID_MAX_CHARS + 1 - std::min(job_id_text_.size(), JOB_ID_MAX_CHARS + 1);
    job_id_text_.append(s.data(), std::min(s.size(), room));
  }

  bool refuse(json::error_code& ec, const char* why) {
    reason = why;
    ec = std::make_error_code(std::errc::invalid_argument);
    return false;
  }

  bool push(Frame::Type type) {
    stack_.emplace_back();
    stack_.back().type = type;
    return true;
  }

  // Says what the value that begins now stands for, and counts it in its array.
  Slot take_slot() {
    if (stack_.empty()) {
      if (root_taken_) return Slot::Invalid;
      root_taken_ = true;
      return root_;
    }
    Frame& f = stack_.back();
    switch (f.type) {
      case Frame::Type::BodyObject:
      case Frame::Type::TargetObject:
      case Frame::Type::ConfirmObject:
        slot_field_ = f.field;
        return f.pending;
      case Frame::Type::SkipObject:
      case Frame::Type::SkipArray:
        return Slot::Skip;
      case Frame::Type::BodyArray: {
        const std::size_t i = f.index++;
        return i == 0 ? Slot::Target : i == 1 ? Slot::Bytes : Slot::Invalid;
      }
      case Frame::Type::TargetArray: {
        const std::size_t i = f.index++;
        if (i == 0) return Slot::Kind;
        if (!kind_ || i > KINDS[*kind_].field_count) return Slot::Invalid;
        slot_field_ = &positional_[i - 1];
        return Slot::Field;
      }
      case Frame::Type::BytesArray:
        ++f.index;
        return Slot::Byte;
    }
    return Slot::Invalid;
  }

  bool on_unsigned(std::uint64_t u, json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot == Slot::Field) {
      slot_field_->type = Scalar::Type::Unsigned;
      slot_field_->number = u;
      return true;
    }
    if (slot == Slot::Confirm) confirm_.shape = ConfirmMember::Shape::Other;
    if (slot == Slot::JobId) job_id_ = JobIdShape::Other;
    if (slot == Slot::Skip || slot == Slot::Confirm || slot == Slot::JobId) return true;
    return refuse(ec, slot == Slot::Byte ? "byte out of range" : "unexpected number");
  }

  // A value that no field or byte accepts: a fraction, exponent, negative
  // number, boolean or null.
  bool on_other(json::error_code& ec) {
    const Slot slot = take_slot();
    if (slot == Slot::Field) {
      slot_field_->type = Scalar::Type::Other;
      return true;
    }
    if (slot == Slot::Confirm) confirm_.shape = ConfirmMember::Shape::Other;
    if (slot == Slot::JobId) job_id_ = JobIdShape::Other;
    if (slot == Slot::Skip || slot == Slot::Confirm || slot == Slot::JobId) return true;
    return refuse(ec, "unexpected value");
  }

  bool finish_target(json::error_code& ec, std::array<Scalar, 2>& values) {
    const KindLayout& layout = KINDS[*kind_];
    for (std::size_t i = 0; i < layout.field_count; ++i) {
      if (!fits(values[i], layout.fields[i].type)) return refuse(ec, "missing or mistyped target field");
    }
    body.target = make_target(*kind_, values);
    have_target_ = true;
    return true;
  }
};

// Gives `handler` the events a parser would give it for the text of `v`.
// The value came from a strict reader: no duplicate members, no deeper
// than JSON_MAX_DEPTH.
bool replay(const json::value& v, BodyHandler& handler, json::error_code& ec) {
  switch (v.kind()) {
    case json::kind::object:
      if (!handler.on_object_begin(ec)) return false;
      for (const json::key_value_pair& member : v.get_object()) {
        if (!handler.on_key(member.key(), member.key().size(), ec) || !replay(member.value(), handler, ec)) {
          return false;
        }
      }
      return handler.on_object_end(v.get_object().size(), ec);
    case json::kind::array:
      if (!handler.on_array_begin(ec)) return false;
      for (const json::value& element : v.get_array()) {
        if (!replay(element, handler, ec)) return false;
      }
      return handler.on_array_end(v.get_array().size(), ec);
    case json::kind::string:
      return handler.on_string(v.get_string(), v.get_string().size(), ec);
    case json::kind::int64:
      return handler.on_int64(v.get_int64(), {}, ec);
    case json::kind::uint64:
      return handler.on_uint64(v.get_uint64(), {}, ec);
    case json::kind::double_:
      return handler.on_double(v.get_double(), {}, ec);
    case json::kind::bool_:
      return handler.on_bool(v.get_bool(), ec);
    case json::kind::null:
      return handler.on_null(ec);
  }
  return false;
}

json::parse_options parse_options() {
  json::parse_options o;
  o.max_depth = JSON_MAX_DEPTH;
  return o;
}

}  // namespace

struct PrintBodyDecoder::Impl {
  // Where the text goes next. Before the "bytes" array, the text is given to
  // the parser up to each "[" in turn, so that the array is caught at its
  // first character; inside it the pair scan runs until something unusual;
  // after that, the parser takes everything.
  enum class Stage { BeforeBytes, InBytes, AfterBytes };

  json::basic_parser<BodyHandler> parser;
  Stage stage = Stage::BeforeBytes;
  Utf8Validator utf8;
  const char* failure = nullptr;  // the first refusal
  std::string failure_text;       // ...when the parser's own message
  // Inside the array: the start of a pair not yet decidable at the end of a
  // chunk (at most four characters, since five decide any pair).
  std::array<char, 4> carry{};
  std::size_t carry_size = 0;

  explicit Impl(std::size_t size_hint) : parser(parse_options()) { parser.handler().text_size = size_hint; }

  BodyHandler& handler() { return parser.handler(); }

  void refuse(const char* why) {
    if (failure == nullptr) failure = why;
  }

  void write(std::string_view text) {
    if (failure != nullptr || text.empty()) return;
    json::error_code ec;
    const std::size_t used = parser.write_some(true, text.data(), text.size(), ec);
    if (ec) {
      if (handler().reason != nullptr) return refuse(handler().reason);
      failure_text = ec.message();
      return refuse(failure_text.c_str());
    }
    // Past the end of the value the parser takes only white space.
    if (used != text.size()) refuse("extra data");
  }

  // Takes what it can of `chunk` as pairs; returns the rest, for the parser,
  // when the scan stopped at something unusual (the stage is then AfterBytes).
  std::string_view scan(std::string_view chunk) {
    std::vector<std::uint8_t>& out = handler().body.bytes;
    if (carry_size > 0) {
      // The carried start of a pair, completed from the chunk: five more
      // characters decide it.
      std::array<char, 9> joined{};
      const std::size_t taken = std::min<std::size_t>(chunk.size(), 5);
      std::copy_n(carry.begin(), carry_size, joined.begin());
      std::copy_n(chunk.begin(), taken, joined.begin() + carry_size);
      const std::size_t size = carry_size + taken;
      const PairScan r = scan_pairs(std::string_view(joined.data(), size), out);
      if (r.used >= carry_size) {
        chunk.remove_prefix(r.used - carry_size);
        carry_size = 0;
      } else if (r.unusual) {
        stage = Stage::AfterBytes;
        write(std::string_view(carry.data() + r.used, carry_size - r.used));
        carry_size = 0;
        return chunk;
      } else {
        // Still undecided: the whole chunk was short enough to join.
        carry_size = size - r.used;
        std::copy_n(joined.begin() + r.used, carry_size, carry.begin());
        return {};
      }
    }
    const PairScan r = scan_pairs(chunk, out);
    chunk.remove_prefix(r.used);
    if (r.unusual) {
      stage = Stage::AfterBytes;
      return chunk;
    }
    carry_size = chunk.size();
    std::copy(chunk.begin(), chunk.end(), carry.begin());
    return {};
  }

  // Blocks small enough to stay in the cache between the UTF-8 check and
  // the decoding.
  static constexpr std::size_t BLOCK = 64 * 1024;

  void feed(std::string_view chunk) {
    while (!chunk.empty()) {
      const std::size_t n = std::min(chunk.size(), BLOCK);
      feed_block(chunk.substr(0, n));
      chunk.remove_prefix(n);
    }
  }

  // The UTF-8 check sees all text but what the pair scan takes (or carries),
  // which is digits and commas only.
  void feed_block(std::string_view chunk) {
    while (!chunk.empty()) {
      if (failure != nullptr) return utf8.feed(chunk);
      switch (stage) {
        case Stage::BeforeBytes: {
          const std::size_t bracket = chunk.find('[');
          const std::size_t n = bracket == std::string_view::npos ? chunk.size() : bracket + 1;
          utf8.feed(chunk.substr(0, n));
          write(chunk.substr(0, n));
          chunk.remove_prefix(n);
          // Only the last character given can have begun the array.
          if (handler().bytes_opened) stage = Stage::InBytes;
          break;
        }
        case Stage::InBytes:
          chunk = scan(chunk);
          break;
        case Stage::AfterBytes:
          utf8.feed(chunk);
          write(chunk);
          chunk = {};
          break;
      }
    }
  }

  Outcome<PrintBody> finish() {
    utf8.finish();
    write(std::string_view(carry.data(), carry_size));
    carry_size = 0;
    if (failure == nullptr && !parser.done()) {
      json::error_code ec;
      parser.write_some(false, "", 0, ec);
      if (ec) {
        if (handler().reason != nullptr) return fail(handler().reason);
        return fail(ec.message());
      }
    }
    if (failure != nullptr) return fail(failure);
    return std::move(handler().body);
  }
};

PrintBodyDecoder::PrintBodyDecoder(std::size_t size_hint) : impl_(std::make_unique<Impl>(size_hint)) {}
PrintBodyDecoder::~PrintBodyDecoder() = default;

void PrintBodyDecoder::feed(std::string_view chunk) { impl_->feed(chunk); }
Outcome<PrintBody> PrintBodyDecoder::finish() { return impl_->finish(); }
bool PrintBodyDecoder::valid_utf8() const { return impl_->utf8.ok(); }

Outcome<PrintTarget> read_print_target(const json::value& value) {
  BodyHandler handler;
  handler.read_target_alone();
  json::error_code ec;
  if (!handler.on_document_begin(ec) || !replay(value, handler, ec) || !handler.on_document_end(ec)) {
    return fail(handler.reason != nullptr ? handler.reason : "invalid target");
  }
  return std::move(handler.body.target);
}

Outcome<PrintBody> read_print_body(std::string_view text) {
  PrintBodyDecoder decoder(text.size());
  decoder.feed(text);
  return decoder.finish();
}

}  // namespace zunel
