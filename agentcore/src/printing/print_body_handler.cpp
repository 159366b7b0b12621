#include "printing/print_body_handler.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>
#include <utility>

namespace zunel {

namespace json = boost::json;

bool PrintBodyHandler::on_document_end(json::error_code& ec) {
  if (!have_body_) return refuse(ec, "no body");
  return true;
}

bool PrintBodyHandler::on_object_begin(json::error_code& ec) {
  switch (take_slot()) {
    case Slot::Body:
      return push(Frame::Type::BodyObject);
    case Slot::Target:
      target_.begin(false);
      return push(Frame::Type::TargetObject);
    case Slot::Field:
      slot_field_->type = CapturedScalar::Type::Other;
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

bool PrintBodyHandler::on_object_end(std::size_t, json::error_code& ec) {
  const Frame::Type type = stack_.back().type;
  stack_.pop_back();
  if (type == Frame::Type::BodyObject) {
    if (!have_target_) return refuse(ec, "body without target");
    if (!have_bytes_) return refuse(ec, BODY_WITHOUT_BYTES);
    body.confirm = judge_confirm();
    if (job_id_ == JobIdShape::Text && !valid_job_id(job_id_text_)) job_id_ = JobIdShape::Other;
    if (job_id_ == JobIdShape::Other) body.job_id = fail(JOB_ID_INVALID);
    if (job_id_ == JobIdShape::Text) body.job_id = std::optional<std::string>(std::move(job_id_text_));
    have_body_ = true;
  } else if (type == Frame::Type::TargetObject) {
    return end_target(ec);
  }
  return true;
}

bool PrintBodyHandler::on_array_begin(json::error_code& ec) {
  switch (take_slot()) {
    case Slot::Body:
      return push(Frame::Type::BodyArray);
    case Slot::Target:
      target_.begin(true);
      return push(Frame::Type::TargetArray);
    case Slot::Bytes:
      body.bytes.reserve(text_size / 2 + 1);
      bytes_opened = true;
      return push(Frame::Type::BytesArray);
    case Slot::Field:
      slot_field_->type = CapturedScalar::Type::Other;
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

bool PrintBodyHandler::on_array_end(std::size_t, json::error_code& ec) {
  const Frame frame = std::move(stack_.back());
  stack_.pop_back();
  switch (frame.type) {
    case Frame::Type::BodyArray:
      if (frame.index != 2) return refuse(ec, "body array needs exactly two elements");
      have_body_ = true;
      return true;
    case Frame::Type::TargetArray:
      return end_target(ec);
    case Frame::Type::BytesArray:
      have_bytes_ = true;
      return true;
    default:
      return true;
  }
}

bool PrintBodyHandler::on_key(json::string_view s, std::size_t, json::error_code& ec) {
  part_.append(s.data(), s.size());
  Frame& f = stack_.back();
  if (f.keys.contains(part_)) return refuse(ec, "duplicate member");
  f.field = nullptr;
  f.pending = Slot::Skip;
  if (f.type == Frame::Type::BodyObject) {
    if (part_ == "target") f.pending = Slot::Target;
    if (part_ == "bytes") f.pending = Slot::Bytes;
    if (part_ == "bytes_base64") f.pending = Slot::Base64;
    if (part_ == "confirm") f.pending = Slot::Confirm;
    if (part_ == "job_id") f.pending = Slot::JobId;
    // The job's bytes come one way: a body that gives both is ambiguous.
    if ((f.pending == Slot::Bytes && f.keys.contains("bytes_base64")) ||
        (f.pending == Slot::Base64 && f.keys.contains("bytes"))) {
      return refuse(ec, BODY_WITH_BOTH_BYTES);
    }
  } else if (f.type == Frame::Type::ConfirmObject) {
    if (part_ == "protocol") {
      f.pending = Slot::Field;
      f.field = &confirm_.protocol;
    } else if (part_ == "timeout_ms") {
      f.pending = Slot::Field;
      f.field = &confirm_.timeout_ms;
    }
  } else if (f.type == Frame::Type::TargetObject) {
    switch (target_.member(part_)) {
      case TargetPart::Kind:
        f.pending = Slot::Kind;
        break;
      case TargetPart::Field:
        f.pending = Slot::Field;
        f.field = &target_.field();
        break;
      case TargetPart::Skip:
      case TargetPart::Invalid:
        break;
    }
  }
  f.keys.insert(std::move(part_));
  part_.clear();
  return true;
}

bool PrintBodyHandler::on_string(json::string_view s, std::size_t, json::error_code& ec) {
  const bool first = !in_string_;
  const Slot slot = first ? take_slot() : string_slot_;
  in_string_ = false;
  if (first && slot == Slot::Base64) begin_base64();
  if (!take_string_part(slot, s, ec)) return false;
  bool ok = true;
  if (slot == Slot::Kind) {
    if (!target_.kind(part_)) ok = refuse(ec, "unknown kind");
  } else if (slot == Slot::Field) {
    slot_field_->type = CapturedScalar::Type::Text;
    slot_field_->text = std::move(part_);
  } else if (slot == Slot::Base64) {
    if (!base64_.complete()) ok = refuse(ec, "\"bytes_base64\" ends inside a group");
    have_bytes_ = true;
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

bool PrintBodyHandler::on_null(json::error_code& ec) {
  const Slot slot = take_slot();
  if (slot == Slot::Field) slot_field_->type = CapturedScalar::Type::Null;
  // A null "confirm" or "job_id": none.
  if (slot == Slot::Field || slot == Slot::Confirm || slot == Slot::JobId || slot == Slot::Skip) return true;
  return refuse(ec, "unexpected value");
}

PrintBodyHandler::Slot PrintBodyHandler::take_slot() {
  if (stack_.empty()) {
    if (root_taken_) return Slot::Invalid;
    root_taken_ = true;
    return Slot::Body;
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
    case Frame::Type::TargetArray:
      switch (target_.element()) {
        case TargetPart::Kind:
          return Slot::Kind;
        case TargetPart::Field:
          slot_field_ = &target_.field();
          return Slot::Field;
        case TargetPart::Skip:
          return Slot::Skip;
        case TargetPart::Invalid:
          return Slot::Invalid;
      }
      return Slot::Invalid;
    case Frame::Type::BytesArray:
      return Slot::Byte;
  }
  return Slot::Invalid;
}

void PrintBodyHandler::begin_base64() {
  // At most three bytes for every four characters of the whole text.
  body.bytes.reserve(text_size / 4 * 3 + 3);
}

bool PrintBodyHandler::take_string_part(Slot slot, json::string_view s, json::error_code& ec) {
  switch (slot) {
    case Slot::Kind:
    case Slot::Field:
      part_.append(s.data(), s.size());
      return true;
    case Slot::JobId: {
      const std::size_t room = JOB_ID_MAX_CHARS + 1 - std::min(job_id_text_.size(), JOB_ID_MAX_CHARS + 1);
      job_id_text_.append(s.data(), std::min(s.size(), room));
      return true;
    }
    case Slot::Base64:
      return base64_.feed(s, body.bytes) || refuse(ec, "\"bytes_base64\" is not base64");
    default:
      return true;
  }
}

bool PrintBodyHandler::on_unsigned(std::uint64_t u, json::error_code& ec) {
  const Slot slot = take_slot();
  if (slot == Slot::Field) {
    slot_field_->type = CapturedScalar::Type::Unsigned;
    slot_field_->number = u;
    return true;
  }
  if (slot == Slot::Confirm) confirm_.shape = ConfirmMember::Shape::Other;
  if (slot == Slot::JobId) job_id_ = JobIdShape::Other;
  if (slot == Slot::Skip || slot == Slot::Confirm || slot == Slot::JobId) return true;
  return refuse(ec, slot == Slot::Byte ? "byte out of range" : "unexpected number");
}

// A value that no field or byte accepts: a fraction, exponent, negative
// number or boolean.
bool PrintBodyHandler::on_other(json::error_code& ec) {
  const Slot slot = take_slot();
  if (slot == Slot::Field) {
    slot_field_->type = CapturedScalar::Type::Other;
    return true;
  }
  if (slot == Slot::Confirm) confirm_.shape = ConfirmMember::Shape::Other;
  if (slot == Slot::JobId) job_id_ = JobIdShape::Other;
  if (slot == Slot::Skip || slot == Slot::Confirm || slot == Slot::JobId) return true;
  return refuse(ec, "unexpected value");
}

// The confirmation a read "confirm" member asks for, or the page's text of
// why it does not read, once the target's kind is known: only a printer
// spoken to directly needs its language.
Outcome<std::optional<ConfirmRequest>> PrintBodyHandler::judge_confirm() const {
  using Type = CapturedScalar::Type;
  if (confirm_.shape == ConfirmMember::Shape::Absent) return std::optional<ConfirmRequest>();
  if (confirm_.shape == ConfirmMember::Shape::Other) return fail(CONFIRM_INVALID);
  ConfirmRequest request;
  if (speaks_directly(body.target)) {
    const CapturedScalar& protocol = confirm_.protocol;
    if (protocol.type == Type::Absent || protocol.type == Type::Null) return fail(CONFIRM_PROTOCOL_MISSING);
    if (protocol.type == Type::Text) request.protocol = protocol_named(protocol.text);
    if (!request.protocol) return fail(CONFIRM_PROTOCOL_UNKNOWN);
  }
  const CapturedScalar& timeout = confirm_.timeout_ms;
  if (timeout.type != Type::Absent && timeout.type != Type::Null) {
    if (timeout.type != Type::Unsigned ||
        timeout.number < static_cast<std::uint64_t>(CONFIRM_MIN_TIMEOUT.count()) ||
        timeout.number > static_cast<std::uint64_t>(CONFIRM_MAX_TIMEOUT.count())) {
      return fail(CONFIRM_TIMEOUT_INVALID);
    }
    request.timeout = std::chrono::milliseconds(timeout.number);
  }
  return std::optional<ConfirmRequest>(request);
}

bool PrintBodyHandler::end_target(json::error_code& ec) {
  auto target = target_.finish();
  if (!target) return refuse(ec, target.error());
  body.target = std::move(*target);
  have_target_ = true;
  return true;
}

bool PrintBodyHandler::push(Frame::Type type) {
  stack_.emplace_back();
  stack_.back().type = type;
  return true;
}

bool PrintBodyHandler::refuse(json::error_code& ec, std::string_view why) {
  reason.assign(why);
  ec = std::make_error_code(std::errc::invalid_argument);
  return false;
}

}  // namespace zunel
