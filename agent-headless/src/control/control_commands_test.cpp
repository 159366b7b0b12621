#include "control/control_commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "control/control_client.h"
#include "service/running_agent.h"
#include <vector>

namespace zunel {
namespace {

TEST(ControlRequestLine, KeysInAscendingOrderCompact) {
  const struct {
    ControlCommand command;
    std::string token;
    std::string id;
    std::string line;
  } cases[] = {
      {ControlCommand::Pair, "ab12", "", R"({"cmd":"pair","token":"ab12"})"},
      {ControlCommand::Info, "ab12", "", R"({"cmd":"info","token":"ab12"})"},
      {ControlCommand::Info, "ab12", "ignored", R"({"cmd":"info","token":"ab12"})"},
      {ControlCommand::Revoke, "ab12", "d-1", R"({"cmd":"revoke","id":"d-1","token":"ab12"})"},
      {ControlCommand::Revoke, "", "", R"({"cmd":"revoke","id":"","token":""})"},
      {ControlCommand::Stop, "ab12", "ignored", R"({"cmd":"stop","token":"ab12"})"},
      {ControlCommand::Revoke, "t\"\\", "ñandú \u0007", "{\"cmd\":\"revoke\",\"id\":\"ñandú \\u0007\",\"token\":\"t\\\"\\\\\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control_request_line(c.command, c.token, c.id), c.line) << c.line;
  }
}

struct Printed {
  int exit_code;
  std::string out;
  std::string err;
  bool operator==(const Printed&) const = default;
};
void PrintTo(const Printed& p, std::ostream* os) {
  *os << "exit " << p.exit_code << ", out " << ::testing::PrintToString(p.out) << ", err "
      << ::testing::PrintToString(p.err);
}

Printed print(ControlCommand command, const std::string& reply) {
  std::ostringstream out, err;
  const int code = print_control_reply(command, reply, out, err);
  return {code, out.str(), err.str()};
}

const std::string PAIR_LINES =
    "Codigo de emparejamiento: 482913\n"
    "Entralo en el ERP > Configuracion > Agente de impresion (caduca pronto).\n";

TEST(ControlReplyPrinting, EachCommandAndEachReplyShape) {
  using C = ControlCommand;
  const struct {
    const char* name;
    C command;
    std::string reply;
    Printed printed;
  } cases[] = {
      {"pair", C::Pair, R"({"ok":true,"code":"482913"})", {0, PAIR_LINES, ""}},
      {"pair, white space around", C::Pair, " \t{\"code\":\"482913\",\"ok\":true}\r ", {0, PAIR_LINES, ""}},
      {"pair, the code transliterated too", C::Pair, R"({"ok":true,"code":"ñ→1"})",
       {0, "Codigo de emparejamiento: n>1\nEntralo en el ERP > Configuracion > Agente de impresion (caduca pronto).\n", ""}},
      {"pair, code not a string", C::Pair, R"({"ok":true,"code":482913})", {0, "", ""}},
      {"pair, no code", C::Pair, R"({"ok":true})", {0, "", ""}},
      {"revoke", C::Revoke, R"({"ok":true})", {0, "Dispositivo revocado.\n", ""}},
      {"revoke of an unknown id", C::Revoke, R"({"ok":false})", {1, "", "Error: desconocido\n"}},
      {"server error, not transliterated", C::Pair, R"({"ok":false,"error":"json inválido"})",
       {1, "", "Error: json inválido\n"}},
      {"a refused token: another user's agent", C::Info, R"({"ok":false,"error":"token inválido"})",
       {1, "", std::string(OTHER_USERS_AGENT) + "\n"}},
      {"error text, whatever ok says", C::Info, R"({"error":"falta id"})", {1, "", "Error: falta id\n"}},
      {"ok as a string", C::Revoke, R"({"ok":"true","error":"x"})", {1, "", "Error: x\n"}},
      {"ok as a number", C::Revoke, R"({"ok":1})", {1, "", "Error: desconocido\n"}},
      {"error not a string", C::Pair, R"({"ok":false,"error":7})", {1, "", "Error: desconocido\n"}},
      {"empty reply", C::Info, "", {1, "", "Error: desconocido\n"}},
      {"not JSON", C::Info, "ok", {1, "", "Error: desconocido\n"}},
      {"duplicate keys", C::Revoke, R"({"ok":false,"ok":true})", {1, "", "Error: desconocido\n"}},
      {"trailing text", C::Revoke, R"({"ok":true} x)", {1, "", "Error: desconocido\n"}},
      {"an array", C::Revoke, R"([{"ok":true}])", {1, "", "Error: desconocido\n"}},
      {"info missing", C::Info, R"({"ok":true})", {0, "", ""}},
      {"info empty object", C::Info, R"({"ok":true,"info":{}})", {0, "{}\n", ""}},
      {"info a scalar", C::Info, R"({"ok":true,"info":null})", {0, "null\n", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(print(c.command, c.reply), c.printed) << c.name;
  }
}

TEST(ControlReplyPrinting, InfoIsIndentedWithKeysSortedAtEveryLevel) {
  const std::string reply =
      R"({"ok":true,"info":{"id":"agent-1","port":47631,"version":"1.0.1","devices":[)"
      R"({"id":"d2","origin":"https://b.erp.example","label":"Ñandú \"2\"","created":5,"source":"auto","negocio_id":"n1","expira":604805},)"
      R"({"id":"d1","origin":"https://a.erp.example","label":"Caja","created":7,"source":"code","negocio_id":null,"expira":null}],)"
      R"("pairing_code":"000123","Z":[],"a":{"b":{},"B":[1,{"y":true,"x":false}]}}})";
  EXPECT_EQ(print(ControlCommand::Info, reply),
            (Printed{0,
                     "{\n"
                     "  \"Z\": [],\n"
                     "  \"a\": {\n"
                     "    \"B\": [\n"
                     "      1,\n"
                     "      {\n"
                     "        \"x\": false,\n"
                     "        \"y\": true\n"
                     "      }\n"
                     "    ],\n"
                     "    \"b\": {}\n"
                     "  },\n"
                     "  \"devices\": [\n"
                     "    {\n"
                     "      \"created\": 5,\n"
                     "      \"expira\": 604805,\n"
                     "      \"id\": \"d2\",\n"
                     "      \"label\": \"Ñandú \\\"2\\\"\",\n"
                     "      \"negocio_id\": \"n1\",\n"
                     "      \"origin\": \"https://b.erp.example\",\n"
                     "      \"source\": \"auto\"\n"
                     "    },\n"
                     "    {\n"
                     "      \"created\": 7,\n"
                     "      \"expira\": null,\n"
                     "      \"id\": \"d1\",\n"
                     "      \"label\": \"Caja\",\n"
                     "      \"negocio_id\": null,\n"
                     "      \"origin\": \"https://a.erp.example\",\n"
                     "      \"source\": \"code\"\n"
                     "    }\n"
                     "  ],\n"
                     "  \"id\": \"agent-1\",\n"
                     "  \"pairing_code\": \"000123\",\n"
                     "  \"port\": 47631,\n"
                     "  \"version\": \"1.0.1\"\n"
                     "}\n",
                     ""}));
}

TEST(ControlReplyPrinting, KeysSortByBytesNotByLetters) {
  // "é" (0xC3 0xA9) sorts after every ASCII key; "_" (0x5F) before "a".
  EXPECT_EQ(print(ControlCommand::Info, R"({"ok":true,"info":{"é":1,"b":2,"_":3,"a":4}})"),
            (Printed{0, "{\n  \"_\": 3,\n  \"a\": 4,\n  \"b\": 2,\n  \"é\": 1\n}\n", ""}));
}

// A scripted agent: each request line gets the next reply; the ping answer
// is chosen; pauses are recorded.
struct ScriptedAgent {
  std::vector<std::string> sent;
  std::vector<Outcome<std::string>> replies;
  bool answers_ping = false;
  int pauses = 0;

  ControlLink link(Outcome<std::string> token) {
    return ControlLink{std::move(token),
                       [this](const std::string& line) -> Outcome<std::string> {
                         sent.push_back(line);
                         if (sent.size() > replies.size()) return fail(AGENT_UNREACHABLE);
                         return replies[sent.size() - 1];
                       },
                       [this] { return answers_ping; },
                       [this](std::chrono::milliseconds) { ++pauses; }};
  }
};

Printed run(ControlCommand command, ScriptedAgent& agent, Outcome<std::string> token,
            std::string_view id = {}) {
  std::ostringstream out, err;
  const int code = run_control_command(command, id, agent.link(std::move(token)), out, err);
  return {code, out.str(), err.str()};
}

const std::string OTHER = std::string(OTHER_USERS_AGENT) + "\n";
const std::string REFUSED = R"({"ok":false,"error":"token inválido"})";

TEST(ControlCommandRun, TokenThenRequestThenReply) {
  const Outcome<std::string> missing = fail("no hay token");
  {
    // No token and nothing answering: its message, and nothing is sent.
    ScriptedAgent agent;
    EXPECT_EQ(run(ControlCommand::Pair, agent, missing), (Printed{1, "", "no hay token\n"}));
    EXPECT_TRUE(agent.sent.empty());
  }
  {
    ScriptedAgent agent;
    agent.replies = {std::string(R"({"ok":true})")};
    EXPECT_EQ(run(ControlCommand::Revoke, agent, std::string("tok"), "d1"),
              (Printed{0, "Dispositivo revocado.\n", ""}));
    EXPECT_EQ(agent.sent, (std::vector<std::string>{R"({"cmd":"revoke","id":"d1","token":"tok"})"}));
  }
  {
    // A failed exchange is reported with its own text, as it is.
    ScriptedAgent agent;
    agent.replies = {fail("Connection reset by peer (os error 104)")};
    EXPECT_EQ(run(ControlCommand::Info, agent, std::string("tok")),
              (Printed{1, "", "Connection reset by peer (os error 104)\n"}));
  }
}

TEST(ControlCommandRun, AnAgentThatIsNotThisUsersSaysSo) {
  for (const ControlCommand command : {ControlCommand::Pair, ControlCommand::Info, ControlCommand::Revoke,
                                       ControlCommand::Stop}) {
    // Its token is refused.
    ScriptedAgent refusing;
    refusing.replies = {REFUSED};
    refusing.answers_ping = true;
    EXPECT_EQ(run(command, refusing, std::string("tok"), "d1"), (Printed{1, "", OTHER}));
    // This user has no token, yet an agent answers ping: nothing is sent.
    ScriptedAgent answering;
    answering.answers_ping = true;
    EXPECT_EQ(run(command, answering, fail("no hay token"), "d1"), (Printed{1, "", OTHER}));
    EXPECT_TRUE(answering.sent.empty());
  }
}

TEST(ControlCommandRun, StopWaitsUntilTheAgentHasEnded) {
  {
    ScriptedAgent agent;
    // Accepted; still there at the first look; gone at the second.
    agent.replies = {std::string(R"({"ok":true})"), std::string("{}")};
    EXPECT_EQ(run(ControlCommand::Stop, agent, std::string("tok")), (Printed{0, "Agente detenido.\n", ""}));
    EXPECT_EQ(agent.sent, (std::vector<std::string>{R"({"cmd":"stop","token":"tok"})",
                                                    R"({"cmd":"info","token":"tok"})",
                                                    R"({"cmd":"info","token":"tok"})"}));
    EXPECT_EQ(agent.pauses, 1);
  }
  {
    ScriptedAgent routed;
    // Behind a router the port stays open: the router says this user has no agent now.
    routed.replies = {std::string(R"({"ok":true})"), std::string(R"({"ok":false,"error":"no_agent_for_user"})")};
    EXPECT_EQ(run(ControlCommand::Stop, routed, std::string("tok")), (Printed{0, "Agente detenido.\n", ""}));
    EXPECT_EQ(routed.pauses, 0);
  }
  const std::string not_running = "El agente no está corriendo.\n";
  {
    ScriptedAgent nobody;  // no token, nothing on either port
    EXPECT_EQ(run(ControlCommand::Stop, nobody, fail("no hay token")), (Printed{1, "", not_running}));
    ScriptedAgent gone;  // a token left behind, nothing on the control port
    EXPECT_EQ(run(ControlCommand::Stop, gone, std::string("tok")), (Printed{1, "", not_running}));
  }
  {
    // Accepted but never ends.
    ScriptedAgent stuck;
    stuck.replies.assign(400, std::string("{}"));
    stuck.replies[0] = std::string(R"({"ok":true})");
    std::ostringstream out, err;
    const StopOutcome outcome = stop_agent(stuck.link(std::string("tok")), std::chrono::seconds(2));
    EXPECT_EQ(outcome.result, StopResult::Failed);
    EXPECT_EQ(outcome.text, "el agente aceptó detenerse pero sigue corriendo tras 2 s");
    EXPECT_EQ(stuck.pauses, 21);
  }
}

}  // namespace
}  // namespace zunel
