#include "router/router_role.h"

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/build_config.h"
#include "base/connection_owner.h"
#include "base/constants.h"
#include "base/loopback_listener.h"
#include "router/agent_registry.h"
#include "router/no_agent_answer.h"
#include "router/registration.h"
#include "router/route_connection.h"
#include "router/router_channel.h"
#include "router/router_place.h"

namespace zunel {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// Connections the router answers itself at once; beyond, a new one is
// closed unanswered.
constexpr std::size_t MAX_ANSWERING = 64;
constexpr int REGISTRATION_TIME_MS = 2'000;
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};

// A registered agent's channel, closed with its last holder.
class ChannelLink : public AgentLink {
 public:
  explicit ChannelLink(NativeSocket channel) : channel_(channel) {}
  ~ChannelLink() override { close_channel(channel_); }
  bool alive() override { return channel_open(channel_); }
  Status hand_over(NativeSocket socket) override {
    return system_socket_handover().send(channel_, socket, 0);
  }

 private:
  NativeSocket channel_;
};

// A connection the router answers: the head read within its bounds, on the
// HTTP port, then the answer, then the close.
struct Answering {
  explicit Answering(tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
  tcp::socket socket;
  net::steady_timer deadline;
  std::string received;
  std::string answer;
  std::array<char, 1024> chunk{};
};

class Router {
 public:
  Router(net::io_context& io, tcp::acceptor http, tcp::acceptor control, std::ostream& err)
      : io_(io), http_(std::move(http)), control_(std::move(control)), err_(err) {}

  void start() {
    accept(http_, true);
    accept(control_, false);
  }

  // From the registration thread: the agent's channel and its uid.
  void registered(NativeSocket channel, std::uint32_t uid) {
    net::post(io_, [this, channel, uid] {
      auto link = std::make_shared<ChannelLink>(channel);
      const Registration result = agents_.add(uid, link);
      const auto reply = static_cast<std::uint8_t>(result == Registration::refused_live
                                                       ? RegistrationReply::already_registered
                                                       : RegistrationReply::accepted);
      if (!write_channel(channel, &reply, 1).ok() && result != Registration::refused_live) {
        agents_.remove(uid, link.get());
      }
      err_ << "[router] agente del usuario " << uid
           << (result == Registration::refused_live ? " rechazado: ya hay uno registrado" : " registrado")
           << std::endl;
    });
  }

 private:
  void accept(tcp::acceptor& acceptor, bool http) {
    acceptor.async_accept([this, &acceptor, http](error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted) return;
      if (ec) {
        // Out of descriptors or memory for now: the next accept waits a
        // little rather than spin on the same failure.
        auto pause = std::make_shared<net::steady_timer>(io_, ACCEPT_PAUSE);
        return pause->async_wait([this, &acceptor, http, pause](error_code) { accept(acceptor, http); });
      }
      route(std::move(socket), http);
      accept(acceptor, http);
    });
  }

  void route(tcp::socket socket, bool http) {
    error_code local_ec, remote_ec;
    const auto local = socket.local_endpoint(local_ec);
    const auto remote = socket.remote_endpoint(remote_ec);
    Routed routed = Routed::unknown_owner;
    if (!local_ec && !remote_ec && local.address().is_v4() && remote.address().is_v4()) {
      const AcceptedConnection connection{{local.address().to_v4(), local.port()},
                                          {remote.address().to_v4(), remote.port()}};
      routed = route_connection(connection, socket.native_handle(), system_connection_owners(), agents_);
    }
    if (routed == Routed::handed) return;  // the router's copy closes with `socket`
    if (answering_ >= MAX_ANSWERING) return;
    ++answering_;
    auto conn = std::make_shared<Answering>(std::move(socket));
    if (!http) {
      conn->answer = std::string(NO_AGENT_CONTROL_LINE);
      return write_answer(conn);
    }
    conn->deadline.expires_after(NO_AGENT_HEAD_TIME);
    conn->deadline.async_wait([conn](error_code ec) {
      error_code ignored;
      if (!ec) conn->socket.cancel(ignored);
    });
    read_head(conn);
  }

  void read_head(const std::shared_ptr<Answering>& conn) {
    conn->socket.async_read_some(net::buffer(conn->chunk), [this, conn](error_code ec, std::size_t n) {
      conn->received.append(conn->chunk.data(), std::min(n, NO_AGENT_HEAD_BYTES - conn->received.size()));
      if (!ec && !no_agent_head_read(conn->received)) return read_head(conn);
      conn->deadline.cancel();
      conn->answer = no_agent_http_answer(conn->received, erp_origin_domain());
      write_answer(conn);
    });
  }

  void write_answer(const std::shared_ptr<Answering>& conn) {
    conn->deadline.expires_after(NO_AGENT_HEAD_TIME);
    conn->deadline.async_wait([conn](error_code ec) {
      error_code ignored;
      if (!ec) conn->socket.close(ignored);
    });
    net::async_write(conn->socket, net::buffer(conn->answer), [this, conn](error_code, std::size_t) {
      error_code ignored;
      conn->deadline.cancel();
      conn->socket.shutdown(tcp::socket::shutdown_send, ignored);
      conn->socket.close(ignored);
      --answering_;
    });
  }

  net::io_context& io_;
  tcp::acceptor http_;
  tcp::acceptor control_;
  std::ostream& err_;
  AgentRegistry agents_;
  std::size_t answering_ = 0;
};

// Reads one agent's registration within its time; the agent's uid when it
// came whole, after which the channel is the router's to keep.
std::optional<std::uint32_t> read_agent(NativeSocket channel) {
  std::vector<std::uint8_t> received;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(REGISTRATION_TIME_MS);
  for (;;) {
    const auto read = read_registration(received);
    if (read.state == RegistrationRead::State::complete) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (read.state == RegistrationRead::State::malformed || left.count() <= 0) return std::nullopt;
    // One byte at a time: nothing after the message is taken from the channel.
    std::uint8_t byte = 0;
    auto got = read_channel(channel, &byte, 1, static_cast<int>(left.count()));
    if (!got || *got == 0) return std::nullopt;
    received.push_back(byte);
  }
  auto uid = channel_peer_uid(channel);
  if (!uid) return std::nullopt;
  return *uid;
}

}  // namespace

int run_router(std::ostream& err) {
  net::io_context io{1};
  auto http = open_loopback_listener(io, HTTP_PORT);
  if (!http) {
    err << "[router] no se pudo abrir el puerto " << HTTP_PORT << ": " << http.error() << std::endl;
    return 1;
  }
  auto control = open_loopback_listener(io, CONTROL_PORT);
  if (!control) {
    err << "[router] no se pudo abrir el puerto " << CONTROL_PORT << ": " << control.error() << std::endl;
    return 1;
  }
  auto socket = open_router_socket();
  if (!socket) {
    err << "[router] no se pudo crear " << router_socket_path().string() << ": " << socket.error()
        << std::endl;
    return 1;
  }
  Router router(io, std::move(*http), std::move(*control), err);
  router.start();
  std::thread([&router, listener = *socket] {
    for (;;) {
      auto channel = accept_agent(listener);
      if (!channel) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      if (auto uid = read_agent(*channel); uid && make_channel_nonblocking(*channel).ok()) {
        router.registered(*channel, *uid);
      } else {
        const auto reply = static_cast<std::uint8_t>(RegistrationReply::malformed);
        (void)write_channel(*channel, &reply, 1);
        close_channel(*channel);
      }
    }
  }).detach();
  err << "[router] escuchando en 127.0.0.1:" << HTTP_PORT << " y :" << CONTROL_PORT << ", agentes en "
      << router_socket_path().string() << std::endl;
  io.run();
  return 0;
}

}  // namespace zunel
