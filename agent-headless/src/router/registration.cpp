#include "router/registration.h"

#include <algorithm>

namespace zunel {
namespace {

constexpr std::uint8_t MAGIC[4] = {'Z', 'R', 'E', 'G'};
constexpr std::uint16_t FORMAT_VERSION = 1;

bool printable(std::uint8_t byte) { return byte >= 0x21 && byte <= 0x7e; }

}  // namespace

std::optional<std::vector<std::uint8_t>> registration_message(std::string_view version) {
  if (version.empty() || version.size() > MAX_REGISTERED_VERSION) return std::nullopt;
  if (!std::all_of(version.begin(), version.end(),
                   [](char c) { return printable(static_cast<std::uint8_t>(c)); })) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> message(std::begin(MAGIC), std::end(MAGIC));
  message.reserve(REGISTRATION_HEAD_SIZE + version.size());
  message.push_back(static_cast<std::uint8_t>(FORMAT_VERSION & 0xff));
  message.push_back(static_cast<std::uint8_t>(FORMAT_VERSION >> 8));
  message.push_back(static_cast<std::uint8_t>(version.size()));
  // Byte by byte: GCC 12 at -O2 warns, wrongly, of an overflow in the
  // range insert of chars into bytes.
  for (const char c : version) message.push_back(static_cast<std::uint8_t>(c));
  return message;
}

RegistrationRead read_registration(std::span<const std::uint8_t> received) {
  using State = RegistrationRead::State;
  RegistrationRead read;
  const std::uint8_t head[REGISTRATION_HEAD_SIZE - 1] = {
      MAGIC[0], MAGIC[1], MAGIC[2], MAGIC[3], FORMAT_VERSION & 0xff, FORMAT_VERSION >> 8};
  const std::size_t fixed = std::min(received.size(), sizeof head);
  if (!std::equal(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(fixed), head)) {
    read.state = State::malformed;
    return read;
  }
  if (received.size() < REGISTRATION_HEAD_SIZE) return read;
  const std::size_t length = received[REGISTRATION_HEAD_SIZE - 1];
  if (length == 0 || length > MAX_REGISTERED_VERSION) {
    read.state = State::malformed;
    return read;
  }
  const auto text = received.subspan(REGISTRATION_HEAD_SIZE);
  const std::size_t have = std::min(text.size(), length);
  if (!std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(have), printable)) {
    read.state = State::malformed;
    return read;
  }
  if (have < length) return read;
  read.state = State::complete;
  read.version.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
  read.size = REGISTRATION_HEAD_SIZE + length;
  return read;
}

std::optional<RegistrationReply> registration_reply(std::uint8_t byte) {
  for (auto reply :
       {RegistrationReply::accepted, RegistrationReply::already_registered, RegistrationReply::malformed}) {
    if (static_cast<std::uint8_t>(reply) == byte) return reply;
  }
  return std::nullopt;
}

}  // namespace zunel
