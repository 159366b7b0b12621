#include "control/control_client.h"

#include <gtest/gtest.h>

#include "base/loopback_listener.h"
#include "control_test_support.h"

namespace zunel {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedPeer;

std::string outcome_text(const Outcome<std::string>& o) {
  return o ? "reply: " + *o : "error: " + o.error();
}

TEST(ControlRequest, SendsOneLineAndReturnsTheFirstLineOfTheReply) {
  const struct {
    const char* name;
    std::string peer_sends;
    std::string result;
  } cases[] = {
      {"a line", "{\"ok\":true}\n", "reply: {\"ok\":true}"},
      {"only the first line", "first\nsecond\n", "reply: first"},
      {"a carriage return stays for the caller to trim", "x\r\n", "reply: x\r"},
      {"cut before the line feed", "{\"ok\":tr",
       "error: se perdió la conexión con el agente antes de su respuesta; compruebe con `list`"},
      {"closed without a reply", "",
       "error: se perdió la conexión con el agente antes de su respuesta; compruebe con `list`"},
      {"accents untouched", "{\"error\":\"token inválido\"}\n",
       "reply: {\"error\":\"token inválido\"}"},
      {"not UTF-8", "{\"ok\":\xff}\n", "error: respuesta del agente no válida (no es UTF-8)"},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer(c.peer_sends);
    EXPECT_EQ(outcome_text(control_request(peer.port(), R"({"cmd":"info"})")), c.result) << c.name;
    EXPECT_EQ(peer.request(), "{\"cmd\":\"info\"}\n") << c.name;
  }
}

TEST(ControlRequest, NoAgentOnThePort) {
  std::uint16_t port = 0;
  {
    boost::asio::io_context io;
    auto listener = open_loopback_listener(io, 0);
    ASSERT_TRUE(listener);
    port = listener->local_endpoint().port();
  }  // closed again: nothing listens there now
  EXPECT_EQ(outcome_text(control_request(port, "{}")),
            "error: No se pudo conectar al agente. ¿Está corriendo 'zunel-print-agent run'?");
}

TEST(ControlRequest, AnAgentThatNeverAnswersIsReportedBusyNotUnreachable) {
  ScriptedPeer peer("", /*stay_silent=*/true);
  ClientLimits limits;
  limits.reply_timeout = 300ms;
  EXPECT_EQ(outcome_text(control_request(peer.port(), "{}", limits)),
            "error: el agente está ocupado; compruebe con `list`");
  EXPECT_EQ(peer.request(), "{}\n");
}

TEST(ControlRequest, AReplyLongerThanTheBoundIsRefused) {
  ClientLimits limits;
  limits.max_reply_bytes = 16;
  {
    ScriptedPeer peer(std::string(16, 'x') + "\n");
    EXPECT_EQ(outcome_text(control_request(peer.port(), "{}", limits)),
              "error: respuesta del agente demasiado larga");
  }
  {
    ScriptedPeer peer(std::string(15, 'x') + "\n");
    EXPECT_EQ(outcome_text(control_request(peer.port(), "{}", limits)),
              "reply: " + std::string(15, 'x'));
  }
}

}  // namespace
}  // namespace zunel
