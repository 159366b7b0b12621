#include "base/socket_handover.h"

#include <algorithm>

#include "base/os_error.h"

namespace zunel {
namespace {

constexpr std::array<std::uint8_t, 4> MAGIC{'Z', 'S', 'K', 'T'};
constexpr std::uint16_t VERSION = 1;
constexpr std::uint16_t SOCKETS = 1;

std::uint32_t little_endian(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

}  // namespace

std::array<std::uint8_t, HANDOVER_HEADER_SIZE> handover_header(std::uint32_t body_size) {
  return {MAGIC[0],
          MAGIC[1],
          MAGIC[2],
          MAGIC[3],
          static_cast<std::uint8_t>(VERSION),
          static_cast<std::uint8_t>(VERSION >> 8),
          static_cast<std::uint8_t>(SOCKETS),
          static_cast<std::uint8_t>(SOCKETS >> 8),
          static_cast<std::uint8_t>(body_size),
          static_cast<std::uint8_t>(body_size >> 8),
          static_cast<std::uint8_t>(body_size >> 16),
          static_cast<std::uint8_t>(body_size >> 24)};
}

std::optional<std::uint32_t> handover_body_size(std::span<const std::uint8_t, HANDOVER_HEADER_SIZE> header) {
  if (!std::equal(MAGIC.begin(), MAGIC.end(), header.begin()) ||
      little_endian(header.subspan<4, 2>()) != VERSION || little_endian(header.subspan<6, 2>()) != SOCKETS) {
    return std::nullopt;
  }
  const std::uint32_t body_size = little_endian(header.subspan<8, 4>());
  if (body_size > MAX_HANDOVER_BODY) return std::nullopt;
  return body_size;
}

Outcome<boost::asio::ip::tcp::socket> adopt_socket(boost::asio::ip::tcp::socket socket,
                                                   boost::asio::io_context& io) {
  using tcp = boost::asio::ip::tcp;
  if (socket.get_executor() == io.get_executor()) return socket;
  boost::system::error_code ec;
  const auto protocol = socket.local_endpoint(ec).protocol();
  if (ec) return fail(os_error_text(ec));
  const auto handle = socket.release(ec);
  if (ec) return fail(os_error_text(ec));
  tcp::socket adopted(io);
  adopted.assign(protocol, handle, ec);
  if (ec) {
    // Closed by a socket that is not registered anywhere else.
    boost::asio::io_context closer;
    boost::system::error_code ignored;
    tcp::socket(closer).assign(protocol, handle, ignored);
    return fail(os_error_text(ec));
  }
  return adopted;
}

}  // namespace zunel
