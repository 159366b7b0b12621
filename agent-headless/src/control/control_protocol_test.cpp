#include "control/control_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "base/build_config.h"
#include "base/journal.h"
#include "security/agent_info.h"
#include "security/pairing_store.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using testing::read_file;
using testing::StateFixture;
using testing::write_file;

const std::string TOKEN = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string DEVICE_TOKEN(64, 'a');

std::string request(const std::string& cmd, const std::string& token = TOKEN) {
  return R"({"token":")" + token + R"(","cmd":")" + cmd + R"("})";
}

// A store whose devices are not in `created` order: d2 is the oldest, d1 and
// d3 were created in the same second.
std::string store_text() {
  return R"({"id":"agent-1","devices":[
    {"id":"d1","token":")" + DEVICE_TOKEN + R"(","origin":"https://app.erp.example","label":"Caja \"1\"","created":7},
    {"id":"d2","token":")" + DEVICE_TOKEN + R"(","origin":"https://b.erp.example","label":"Ñandú","created":5,
     "source":"auto","negocio_id":"n1","user_sub":"u-9","expira":604805},
    {"id":"d3","token":")" + DEVICE_TOKEN + R"(","origin":"https://app.erp.example","label":"Barra","created":7}],
    "revoked_seq":{}})";
}

const std::string D1 =
    R"({"id":"d1","origin":"https://app.erp.example","label":"Caja \"1\"","created":7,"source":"code","negocio_id":null,"expira":null})";
const std::string D2 =
    R"({"id":"d2","origin":"https://b.erp.example","label":"Ñandú","created":5,"source":"auto","negocio_id":"n1","expira":604805})";
const std::string D3 =
    R"({"id":"d3","origin":"https://app.erp.example","label":"Barra","created":7,"source":"code","negocio_id":null,"expira":null})";

std::string info_reply(const std::string& devices, const std::string& code = "null") {
  return R"({"ok":true,"info":{"id":"agent-1","port":47631,"version":"1.0.1","build":")" + std::string(agent_build()) +
         R"(","devices":[)" + devices + R"(],"pairing_code":)" + code + R"(,"executable":"C:\\Zunel\\zunel-print-agent.exe"}})";
}

const std::string EXE = "C:\\Zunel\\zunel-print-agent.exe";

class ControlProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(f.file(), store_text());
    ASSERT_TRUE(f.load());
  }
  std::string reply(const std::string& line) { return control_reply(line, TOKEN, *f.state, EXE).reply; }

  StateFixture f;
};

TEST_F(ControlProtocol, RepliesToEachRequestExactly) {
  const std::string wrong_last = TOKEN.substr(0, 63) + "e";
  const struct {
    const char* name;
    std::string line;
    std::string reply;
  } cases[] = {
      // Not a valid request.
      {"empty line", "", R"({"ok":false,"error":"json inválido"})"},
      {"only white space", " \t\r", R"({"ok":false,"error":"json inválido"})"},
      {"not JSON", "pair", R"({"ok":false,"error":"json inválido"})"},
      {"an array", "[]", R"({"ok":false,"error":"json inválido"})"},
      {"no token", R"({"cmd":"info"})", R"({"ok":false,"error":"json inválido"})"},
      {"no cmd", R"({"token":")" + TOKEN + R"("})", R"({"ok":false,"error":"json inválido"})"},
      {"token a number", R"({"token":1,"cmd":"info"})", R"({"ok":false,"error":"json inválido"})"},
      {"cmd null", R"({"token":")" + TOKEN + R"(","cmd":null})",
       R"({"ok":false,"error":"json inválido"})"},
      {"id a number", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":7})",
       R"({"ok":false,"error":"json inválido"})"},
      {"duplicate id", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":"d1","id":"d9"})",
       R"({"ok":false,"error":"json inválido"})"},
      {"duplicate token", R"({"token":"x","token":")" + TOKEN + R"(","cmd":"info"})",
       R"({"ok":false,"error":"json inválido"})"},
      {"duplicate cmd", R"({"token":")" + TOKEN + R"(","cmd":"x","cmd":"info"})",
       R"({"ok":false,"error":"json inválido"})"},
      {"trailing text", request("info") + " {}", R"({"ok":false,"error":"json inválido"})"},
      {"line feed inside", request("info") + "\n" + request("info"),
       R"({"ok":false,"error":"json inválido"})"},
      // The token is checked before the command.
      {"token one digit short", request("info", TOKEN.substr(1)),
       R"({"ok":false,"error":"token inválido"})"},
      {"token one digit long", request("info", TOKEN + "0"), R"({"ok":false,"error":"token inválido"})"},
      {"token last byte differs", request("info", wrong_last),
       R"({"ok":false,"error":"token inválido"})"},
      {"token in capitals", request("info", "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF"),
       R"({"ok":false,"error":"token inválido"})"},
      {"empty token", request("info", ""), R"({"ok":false,"error":"token inválido"})"},
      {"wrong token, unknown cmd", request("list", wrong_last),
       R"({"ok":false,"error":"token inválido"})"},
      // Commands.
      {"list is not a wire command", request("list"), R"({"ok":false,"error":"cmd desconocido: list"})"},
      {"case matters", request("INFO"), R"({"ok":false,"error":"cmd desconocido: INFO"})"},
      {"empty cmd", request(""), R"({"ok":false,"error":"cmd desconocido: "})"},
      {"cmd is quoted back as JSON", R"({"token":")" + TOKEN + R"(","cmd":"a\"b\\ñ\u0001"})",
       R"({"ok":false,"error":"cmd desconocido: a\"b\\ñ\u0001"})"},
      {"revoke without id", request("revoke"), R"({"ok":false,"error":"falta id"})"},
      {"revoke with null id", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":null})",
       R"({"ok":false,"error":"falta id"})"},
      {"revoke with empty id", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":""})",
       R"({"ok":false,"error":"falta id"})"},
      {"revoke of an unknown id", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":"d9"})",
       R"({"ok":false})"},
      {"revoke ids are exact", R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":"D1"})",
       R"({"ok":false})"},
      {"info", request("info"), info_reply(D2 + "," + D1 + "," + D3)},
      {"stop", request("stop"), R"({"ok":true})"},
      // Framing: white space around the object, keys in any order, unknown keys.
      {"spaces and carriage return", "  " + request("info") + " \r", info_reply(D2 + "," + D1 + "," + D3)},
      {"Unicode white space", "\u00a0" + request("info") + "\u2003", info_reply(D2 + "," + D1 + "," + D3)},
      {"keys in any order, unknown keys", R"({"x":[1,{"y":null}],"cmd":"info","id":null,"token":")" +
                                              TOKEN + R"("})",
       info_reply(D2 + "," + D1 + "," + D3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reply(c.line), c.reply) << c.name;
  }
  // None of them changed the store.
  EXPECT_EQ(reply(request("info")), info_reply(D2 + "," + D1 + "," + D3));
  // No secret reaches the reply: neither a device's token nor its user subject.
  EXPECT_EQ(reply(request("info")).find(DEVICE_TOKEN), std::string::npos);
  EXPECT_EQ(reply(request("info")).find("u-9"), std::string::npos);
}

TEST_F(ControlProtocol, PairIssuesACodeThatInfoShowsWhileItIsValid) {
  f.random.queue({0x00, 0x00, 0x30, 0x39});  // 12345
  EXPECT_EQ(reply(request("pair")), R"({"ok":true,"code":"012345"})");
  const std::string devices = D2 + "," + D1 + "," + D3;
  EXPECT_EQ(reply(request("info")), info_reply(devices, R"("012345")"));
  f.clock.advance(299);
  EXPECT_EQ(reply(request("info")), info_reply(devices, R"("012345")"));
  f.clock.advance(1);
  EXPECT_EQ(reply(request("info")), info_reply(devices));

  // A new code replaces the one still pending.
  f.random.queue({0x00, 0x00, 0x00, 0x07});
  EXPECT_EQ(reply(request("pair")), R"({"ok":true,"code":"000007"})");
  f.random.queue({0x00, 0x00, 0x00, 0x08});
  EXPECT_EQ(reply(request("pair")), R"({"ok":true,"code":"000008"})");
  EXPECT_EQ(reply(request("info")), info_reply(devices, R"("000008")"));
}

TEST_F(ControlProtocol, PairWithAFailingRandomSourceIssuesNoCode) {
  f.random.fail_next();
  EXPECT_EQ(reply(request("pair")), R"({"ok":false,"error":"CSPRNG del SO no disponible"})");
  EXPECT_EQ(reply(request("info")), info_reply(D2 + "," + D1 + "," + D3));
}

TEST_F(ControlProtocol, RevokeRemovesTheDeviceAndSavesTheStore) {
  const auto revoke = [&](const std::string& id) {
    return reply(R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":")" + id + R"("})");
  };
  EXPECT_EQ(revoke("d1"), R"({"ok":true})");
  EXPECT_EQ(revoke("d1"), R"({"ok":false})");
  EXPECT_EQ(reply(request("info")), info_reply(D2 + "," + D3));
  const std::string saved = read_file(f.file());
  EXPECT_EQ(saved.find("\"d1\""), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"d3\""), std::string::npos) << saved;

  // A revocation the store cannot keep is said to have failed, and undone.
  std::filesystem::remove(f.file());
  std::filesystem::create_directory(f.file());
  EXPECT_EQ(revoke("d2").find(R"({"ok":false,"error":"no se pudo guardar pairings.json: )"), 0u);
  EXPECT_EQ(reply(request("info")), info_reply(D2 + "," + D3));
}

TEST_F(ControlProtocol, PairAndRevokeAreJournaledWithoutTheCode) {
  struct Lines final : Journal {
    void record(std::string line) override { lines.push_back(std::move(line)); }
    std::vector<std::string> lines;
  } journal;
  const auto journaled = [&](const std::string& line) { return control_reply(line, TOKEN, *f.state, {}, &journal, &f.clock).reply; };
  f.random.queue({0x00, 0x00, 0x30, 0x39});
  EXPECT_EQ(journaled(request("pair")), R"({"ok":true,"code":"012345"})");
  (void)journaled(R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":"d1"})");
  (void)journaled(R"({"token":")" + TOKEN + R"(","cmd":"revoke","id":"zz"})");
  (void)journaled(request("info"));
  (void)journaled(request("pair", TOKEN.substr(0, 63) + "0"));
  const std::string t = iso_utc(f.clock.now_secs());
  EXPECT_EQ(journal.lines, (std::vector<std::string>{
                               R"({"t":")" + t + R"(","event":"control","command":"pair","ok":true})",
                               R"({"t":")" + t + R"(","event":"control","command":"revoke","device":"d1","ok":true})",
                               R"({"t":")" + t + R"(","event":"control","command":"revoke","device":"zz","ok":false})",
                           }));
}

TEST_F(ControlProtocol, AWrongTokenReachesNoStoreOperation) {
  const std::string wrong = TOKEN.substr(0, 63) + "0";
  EXPECT_EQ(reply(request("pair", wrong)), R"({"ok":false,"error":"token inválido"})");
  EXPECT_EQ(reply(R"({"token":")" + wrong + R"(","cmd":"revoke","id":"d1"})"),
            R"({"ok":false,"error":"token inválido"})");
  // No code was issued and no device removed.
  EXPECT_EQ(reply(request("info")), info_reply(D2 + "," + D1 + "," + D3));
}

TEST_F(ControlProtocol, OnlyAnAcceptedStopAsksTheAgentToStop) {
  EXPECT_TRUE(control_reply(request("stop"), TOKEN, *f.state).stop);
  EXPECT_FALSE(control_reply(request("stop", TOKEN.substr(1)), TOKEN, *f.state).stop);
  EXPECT_FALSE(control_reply(request("info"), TOKEN, *f.state).stop);
  EXPECT_FALSE(control_reply(request("Stop"), TOKEN, *f.state).stop);
}

TEST(AgentInfoJson, IsCompactWithMembersInDeclarationOrderAndNullsForAbsentValues) {
  AgentInfo info{.id = "abc",
                 .port = 47631,
                 .version = "1.0.1",
                 .build = "2026-12-10.78f8fe6c1a2b",
                 .devices = {},
                 .pairing_code = std::nullopt};
  EXPECT_EQ(agent_info_json(info, ""),
            R"({"id":"abc","port":47631,"version":"1.0.1","build":"2026-12-10.78f8fe6c1a2b","devices":[],)"
            R"("pairing_code":null,"executable":null})");
  info.pairing_code = "000042";
  info.devices.push_back(DeviceInfo{.id = "d1",
                                    .origin = "https://a",
                                    .label = "Caja \"1\"",
                                    .created = 5,
                                    .source = DeviceSource::Code,
                                    .negocio_id = std::nullopt,
                                    .expira = std::nullopt});
  info.devices.push_back(DeviceInfo{.id = "d2",
                                    .origin = "https://b",
                                    .label = "Ñ",
                                    .created = 6,
                                    .source = DeviceSource::Auto,
                                    .negocio_id = "n",
                                    .expira = 18446744073709551615u});
  EXPECT_EQ(agent_info_json(info, "/opt/zunel/zunel-print-agent"),
            R"({"id":"abc","port":47631,"version":"1.0.1","build":"2026-12-10.78f8fe6c1a2b","devices":[)"
            R"({"id":"d1","origin":"https://a","label":"Caja \"1\"","created":5,"source":"code","negocio_id":null,"expira":null},)"
            R"({"id":"d2","origin":"https://b","label":"Ñ","created":6,"source":"auto","negocio_id":"n","expira":18446744073709551615}],)"
            R"("pairing_code":"000042","executable":"/opt/zunel/zunel-print-agent"})");
}

}  // namespace
}  // namespace zunel
