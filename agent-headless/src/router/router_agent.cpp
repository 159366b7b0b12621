#include "router/router_agent.h"

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <thread>

#include "base/constants.h"
#include "router/registration.h"
#include "router/router_channel.h"

namespace zunel {
namespace {

constexpr int REPLY_TIME_MS = 2'000;
constexpr std::chrono::seconds REGISTER_AGAIN_EVERY{3};

}  // namespace

RouterRegistration register_with_router(std::string_view version) {
  RouterRegistration result;
  RouterFound found = connect_to_router();
  if (found.state == RouterFound::State::absent) return result;
  result.state = RouterRegistration::State::refused;
  if (found.state != RouterFound::State::connected || !found.channel) {
    result.why = found.why;
    return result;
  }
  const auto message = registration_message(version);
  std::uint8_t reply = 0;
  if (!message || !write_channel(*found.channel, message->data(), message->size()).ok()) {
    result.why = "no se pudo enviar el registro";
  } else if (auto got = read_channel(*found.channel, &reply, 1, REPLY_TIME_MS); !got || *got != 1) {
    result.why = "el router no respondió al registro";
  } else if (registration_reply(reply) == RegistrationReply::already_registered) {
    result.state = RouterRegistration::State::already_registered;
    result.why = "ya hay un agente de este usuario registrado en el router";
  } else if (registration_reply(reply) != RegistrationReply::accepted) {
    result.why = "el router rechazó el registro";
  } else {
    result.state = RouterRegistration::State::registered;
    result.channel = found.channel;
    return result;
  }
  close_channel(*found.channel);
  return result;
}

void serve_router_channel(NativeSocket channel, std::string version, HandConnection http,
                          HandConnection control, std::ostream& err) {
  boost::asio::io_context io;
  for (;;) {
    auto socket = system_socket_handover().receive(channel, io);
    if (socket) {
      boost::system::error_code ec;
      const auto port = socket->local_endpoint(ec).port();
      if (!ec && port == HTTP_PORT)
        http(std::move(*socket));
      else if (!ec && port == CONTROL_PORT)
        control(std::move(*socket));
      continue;  // any other socket closes here
    }
    close_channel(channel);
    err << "[agente] se perdió el router: " << socket.error() << "; se reintenta el registro cada "
        << REGISTER_AGAIN_EVERY.count() << " s" << std::endl;
    for (;;) {
      std::this_thread::sleep_for(REGISTER_AGAIN_EVERY);
      auto again = register_with_router(version);
      if (again.state == RouterRegistration::State::registered) {
        err << "[agente] registrado de nuevo en el router" << std::endl;
        channel = *again.channel;
        break;
      }
    }
  }
}

}  // namespace zunel
