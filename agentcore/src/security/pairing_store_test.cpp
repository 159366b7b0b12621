#include "security/pairing_store.h"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/hex.h"
#include "security/agent_info.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using ::testing::ElementsAre;
using testing::read_file;
using testing::StateFixture;
using testing::write_file;

constexpr const char* ORIGIN = "https://caja.erp.zunel.example";
const std::string TOKEN_A(64, 'a');
const std::string TOKEN_B(64, 'b');

std::vector<std::string> device_ids(const LockedState& s) {
  std::vector<std::string> ids;
  for (const Device& d : s->devices) ids.push_back(d.id);
  return ids;
}

std::vector<std::filesystem::path> files_named_like(const std::filesystem::path& dir, std::string_view prefix) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
  }
  return found;
}

// ---- The file format -------------------------------------------------------

TEST(PairingStoreFile, FirstStartWritesAnEmptyStoreWithANewIdAndASecondStartKeepsIt) {
  StateFixture f;
  ASSERT_TRUE(f.load());
  // The scripted random source counts 0, 1, 2, ...: the id is those 16 bytes.
  EXPECT_EQ(read_file(f.file()),
            "{\n"
            "  \"id\": \"000102030405060708090a0b0c0d0e0f\",\n"
            "  \"devices\": [],\n"
            "  \"revoked_seq\": {}\n"
            "}");
  f.random.fail_next();  // a second start must not need random bytes
  ASSERT_TRUE(f.load());
  EXPECT_EQ(f.state->settings().id, "000102030405060708090a0b0c0d0e0f");
}

TEST(PairingStoreFile, WritesEveryDeviceFieldInOrderWithAbsentOptionalsAsNull) {
  StateFixture f;
  write_file(f.file(), R"({"id":"agent-1","devices":[
      {"id":"d1","token":")" + TOKEN_A + R"(","origin":"https://a.example","label":"Caja \"1\"","created":5},
      {"id":"d2","token":")" + TOKEN_B + R"(","origin":"https://b.example","label":"Ñandú","created":7,
       "source":"auto","negocio_id":"n1","user_sub":"","expira":604807}],
      "revoked_seq":{"n1":3}})");
  ASSERT_TRUE(f.load());
  EXPECT_EQ(read_file(f.file()),
            "{\n"
            "  \"id\": \"agent-1\",\n"
            "  \"devices\": [\n"
            "    {\n"
            "      \"id\": \"d1\",\n"
            "      \"token\": \"" + TOKEN_A + "\",\n"
            "      \"origin\": \"https://a.example\",\n"
            "      \"label\": \"Caja \\\"1\\\"\",\n"
            "      \"created\": 5,\n"
            "      \"source\": \"code\",\n"
            "      \"negocio_id\": null,\n"
            "      \"user_sub\": null,\n"
            "      \"expira\": null\n"
            "    },\n"
            "    {\n"
            "      \"id\": \"d2\",\n"
            "      \"token\": \"" + TOKEN_B + "\",\n"
            "      \"origin\": \"https://b.example\",\n"
            "      \"label\": \"Ñandú\",\n"
            "      \"created\": 7,\n"
            "      \"source\": \"auto\",\n"
            "      \"negocio_id\": \"n1\",\n"
            "      \"user_sub\": \"\",\n"
            "      \"expira\": 604807\n"
            "    }\n"
            "  ],\n"
            "  \"revoked_seq\": {\n"
            "    \"n1\": 3\n"
            "  }\n"
            "}");
  // What was written reads back to the same state.
  ASSERT_TRUE(f.load());
  const Device& d2 = f.locked()->devices.at(1);
  EXPECT_EQ(d2.source, DeviceSource::Auto);
  EXPECT_EQ(d2.user_sub, std::optional<std::string>(""));
  EXPECT_EQ(d2.expira, std::optional<std::uint64_t>(604807));
  EXPECT_EQ(f.locked()->revoked_seq.at("n1"), 3u);
}

struct LoadCase {
  const char* name;
  std::string text;
  bool valid;                          // false: the agent starts empty with a new id
  std::vector<std::string> device_ids;  // when valid
};

class PairingStoreLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PairingStoreLoad, AppliesTheReadingRules) {
  const LoadCase& c = GetParam();
  StateFixture f;
  write_file(f.file(), c.text);
  ASSERT_TRUE(f.load());
  auto s = f.locked();
  if (c.valid) {
    EXPECT_EQ(s.settings().id, "keep");
    EXPECT_EQ(device_ids(s), c.device_ids);
  } else {
    EXPECT_EQ(s.settings().id, "000102030405060708090a0b0c0d0e0f");
    EXPECT_TRUE(s->devices.empty());
    EXPECT_TRUE(s->revoked_seq.empty());
  }
}

std::string dev(const std::string& id, const std::string& extra = "", const std::string& token = std::string(64, 'c')) {
  return R"({"id":")" + id + R"(","token":")" + token + R"(","origin":"o","label":"l","created":1)" + extra + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PairingStoreLoad,
    ::testing::Values(
        LoadCase{"only_id", R"({"id":"keep"})", true, {}},
        LoadCase{"unknown_keys_ignored", R"({"id":"keep","x":1,"devices":[)" + dev("a", R"(,"y":[1])") + "]}", true, {"a"}},
        LoadCase{"missing_source_is_code", R"({"id":"keep","devices":[)" + dev("a") + "]}", true, {"a"}},
        LoadCase{"nulls_for_optionals", R"({"id":"keep","devices":[)" +
                     dev("a", R"(,"negocio_id":null,"user_sub":null,"expira":null)") + "]}", true, {"a"}},
        LoadCase{"short_token_drops_only_its_device",
                 R"({"id":"keep","devices":[)" + dev("a") + "," + dev("b", "", std::string(63, 'c')) + "," + dev("c") + "]}",
                 true, {"a", "c"}},
        LoadCase{"non_hex_token_drops_only_its_device",
                 R"({"id":"keep","devices":[)" + dev("a", "", std::string(63, 'c') + "g") + "," + dev("b") + "]}", true, {"b"}},
        LoadCase{"long_token_drops_its_device",
                 R"({"id":"keep","devices":[)" + dev("a", "", std::string(66, 'c')) + "]}", true, {}},
        LoadCase{"upper_case_token_loads", R"({"id":"keep","devices":[)" + dev("a", "", std::string(64, 'C')) + "]}", true, {"a"}},
        LoadCase{"not_json", "{\"id\":", false, {}},
        LoadCase{"empty_file", "", false, {}},
        LoadCase{"not_an_object", R"(["keep"])", false, {}},
        LoadCase{"trailing_text", R"({"id":"keep"} x)", false, {}},
        LoadCase{"missing_id", R"({"devices":[]})", false, {}},
        LoadCase{"id_not_string", R"({"id":7})", false, {}},
        LoadCase{"duplicate_key", R"({"id":"keep","id":"keep"})", false, {}},
        LoadCase{"duplicate_device_key", R"({"id":"keep","devices":[)" + dev("a", R"(,"label":"m")") + "]}", false, {}},
        LoadCase{"devices_not_array", R"({"id":"keep","devices":{}})", false, {}},
        LoadCase{"device_not_object", R"({"id":"keep","devices":[1]})", false, {}},
        LoadCase{"device_missing_origin",
                 R"({"id":"keep","devices":[{"id":"a","token":")" + TOKEN_A + R"(","label":"l","created":1}]})", false, {}},
        LoadCase{"token_not_string",
                 R"({"id":"keep","devices":[{"id":"a","token":5,"origin":"o","label":"l","created":1}]})", false, {}},
        LoadCase{"created_negative",
                 R"({"id":"keep","devices":[{"id":"a","token":")" + TOKEN_A + R"(","origin":"o","label":"l","created":-1}]})",
                 false, {}},
        LoadCase{"created_fraction",
                 R"({"id":"keep","devices":[{"id":"a","token":")" + TOKEN_A + R"(","origin":"o","label":"l","created":1.0}]})",
                 false, {}},
        LoadCase{"unknown_source", R"({"id":"keep","devices":[)" + dev("a", R"(,"source":"manual")") + "]}", false, {}},
        LoadCase{"source_wrong_case", R"({"id":"keep","devices":[)" + dev("a", R"(,"source":"Code")") + "]}", false, {}},
        LoadCase{"expira_string", R"({"id":"keep","devices":[)" + dev("a", R"(,"expira":"1")") + "]}", false, {}},
        LoadCase{"negocio_id_number", R"({"id":"keep","devices":[)" + dev("a", R"(,"negocio_id":1)") + "]}", false, {}},
        LoadCase{"revoked_seq_negative", R"({"id":"keep","revoked_seq":{"n":-1}})", false, {}},
        LoadCase{"revoked_seq_not_object", R"({"id":"keep","revoked_seq":[]})", false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PairingStoreFile, AnEmptyIdGetsANewIdButKeepsDevicesAndSequences) {
  StateFixture f;
  write_file(f.file(), R"({"id":"","devices":[)" + dev("a") + R"(],"revoked_seq":{"n":4}})");
  ASSERT_TRUE(f.load());
  auto s = f.locked();
  EXPECT_EQ(s.settings().id, "000102030405060708090a0b0c0d0e0f");
  EXPECT_THAT(device_ids(s), ElementsAre("a"));
  EXPECT_EQ(s->revoked_seq.at("n"), 4u);
}

TEST(PairingStoreFile, AStoredUpperCaseTokenIsWrittenBackInLowerCase) {
  StateFixture f;
  write_file(f.file(), R"({"id":"keep","devices":[)" + dev("a", "", std::string(64, 'C')) + "]}");
  ASSERT_TRUE(f.load());
  const std::string text = read_file(f.file());
  EXPECT_NE(text.find(std::string(64, 'c')), std::string::npos);
  EXPECT_EQ(text.find('C'), std::string::npos);
}

TEST(PairingStoreFile, AnInvalidFileIsKeptBesideBeforeItIsReplaced) {
  StateFixture f;
  const std::string broken = R"({"id":"old","devices":[)" + dev("a", R"(,"source":"manual")") + "]}";
  write_file(f.file(), broken);
  ASSERT_TRUE(f.load());
  const auto aside = f.dir.path() / ("pairings.json.invalid-" + std::to_string(f.clock.now_secs()));
  EXPECT_EQ(read_file(aside), broken);
  EXPECT_NE(read_file(f.file()).find("000102030405060708090a0b0c0d0e0f"), std::string::npos);

  // A second broken file in the same second gets a name of its own.
  write_file(f.file(), "garbage");
  ASSERT_TRUE(f.load());
  EXPECT_EQ(read_file(aside), broken);
  EXPECT_EQ(files_named_like(f.dir.path(), "pairings.json.invalid-").size(), 2u);
}

TEST(PairingStoreFile, AValidFileOrNoFileIsNotSetAside) {
  StateFixture f;
  ASSERT_TRUE(f.load());
  ASSERT_TRUE(f.load());
  EXPECT_TRUE(files_named_like(f.dir.path(), "pairings.json.invalid-").empty());
  EXPECT_TRUE(files_named_like(f.dir.path(), "pairings.json.tmp").empty());
}

TEST(PairingStoreFile, MissingStateDirectoriesAreCreated) {
  StateFixture f;
  const auto nested = f.dir.path() / "a" / "agent";
  auto loaded = load_state(nested, "1.0.1", StateServices{f.clock, f.random, f.diagnostics}, "[]");
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(std::filesystem::is_regular_file(nested / "pairings.json"));
}

TEST(PairingStoreFile, AFailedWriteKeepsTheStateInMemoryAndTheNextSaveWrites) {
  StateFixture f;
  // A regular file where the directory should be: no save can succeed.
  const auto blocked = f.dir.path() / "blocked";
  write_file(blocked, "x");
  auto loaded = load_state(blocked, "1.0.1", StateServices{f.clock, f.random, f.diagnostics}, "[]");
  ASSERT_TRUE(loaded);
  AgentState& state = **loaded;
  // Each store operation writes the file when its lock is released.
  auto paired = [&] {
    auto s = state.lock();
    EXPECT_TRUE(new_pairing_code(s));
    return pair_with_code(s, ORIGIN, *s->pending_code, "");
  }();
  ASSERT_TRUE(paired && paired->has_value());
  EXPECT_EQ(state.lock()->devices.size(), 1u);
  // Said on the diagnostics stream, one line a failed save.
  const std::string said = f.diagnostics.str();
  EXPECT_EQ(said.rfind("[agente] no se pudo guardar pairings.json: ", 0), 0u) << said;
  EXPECT_EQ(said.back(), '\n');

  std::filesystem::remove(blocked);
  EXPECT_TRUE([&] { auto s = state.lock(); return revoke_device(s, "no-such-device"); }() == false);
  EXPECT_FALSE(std::filesystem::exists(blocked / "pairings.json"));  // nothing to save yet
  ASSERT_TRUE([&] {
    auto s = state.lock();
    return provision_device(s, ORIGIN, "", std::nullopt, TicketClaims{"u", "n"}).ok();
  }());
  EXPECT_NE(read_file(blocked / "pairings.json").find((*paired)->device_id), std::string::npos);
  EXPECT_EQ(f.diagnostics.str(), said) << "a save that succeeds says nothing";
}

TEST(PairingStoreFile, LoadFailsWithoutRandomBytesForANewId) {
  StateFixture f;
  f.random.fail_next();
  auto loaded = load_state(f.dir.path(), "1.0.1", StateServices{f.clock, f.random, f.diagnostics}, "[]");
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), CSPRNG_UNAVAILABLE);
  EXPECT_FALSE(std::filesystem::exists(f.file()));
}

// ---- Pairing codes -----------------------------------------------------------

class PairingCode : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(f.load()); }
  std::string issue() {
    auto s = f.locked();
    auto code = new_pairing_code(s);
    EXPECT_TRUE(code);
    return code ? *code : std::string();
  }
  std::optional<DeviceCredentials> pair(std::string_view code, std::string_view label = "") {
    auto s = f.locked();
    auto result = pair_with_code(s, ORIGIN, code, label);
    EXPECT_TRUE(result);
    return result ? *result : std::nullopt;
  }
  StateFixture f;
};

TEST_F(PairingCode, IsTheFirstFourRandomBytesBigEndianModuloAMillionPaddedToSixDigits) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    const char* code;
  };
  for (const Case& c : {Case{{0, 0, 0, 42}, "000042"}, Case{{0xff, 0xff, 0xff, 0xff}, "967295"},
                        Case{{0x00, 0x0f, 0x42, 0x40}, "000000"}, Case{{0x01, 0x00, 0x00, 0x00}, "777216"}}) {
    f.random.queue(c.bytes);
    EXPECT_EQ(issue(), c.code);
  }
}

TEST_F(PairingCode, PairsOnceAndStoresACodeDevice) {
  f.random.queue({0, 0, 0, 7});
  const std::string code = issue();
  f.clock.advance(299);
  f.random.queue(std::vector<std::uint8_t>(32, 0xab));
  f.random.queue({1, 2, 3, 4, 5, 6, 7, 8});
  const auto creds = pair(code, "  Caja 1 ");
  ASSERT_TRUE(creds);
  EXPECT_EQ(creds->device_id, "0102030405060708");
  std::string ab_token;
  for (int i = 0; i < 32; ++i) ab_token += "ab";
  EXPECT_EQ(creds->token_hex, ab_token);
  auto s = f.locked();
  ASSERT_EQ(s->devices.size(), 1u);
  const Device& d = s->devices[0];
  EXPECT_EQ(d.origin, ORIGIN);
  EXPECT_EQ(d.label, "Caja 1");
  EXPECT_EQ(d.created, 1'700'000'299u);
  EXPECT_EQ(d.source, DeviceSource::Code);
  EXPECT_FALSE(d.negocio_id || d.user_sub || d.expira);
  EXPECT_FALSE(s->pending_code);
  EXPECT_NE(read_file(f.file()).find("0102030405060708"), std::string::npos);
}

TEST_F(PairingCode, RefusesWhenNoneIsPendingExpiredReusedOrReplaced) {
  EXPECT_FALSE(pair("000000"));  // none issued

  const std::string expired = issue();
  f.clock.advance(300);
  EXPECT_FALSE(pair(expired));
  EXPECT_FALSE(pair(expired));  // an expired code keeps refusing

  f.random.queue({0, 0, 0, 1});
  const std::string first = issue();
  f.random.queue({0, 0, 0, 2});
  const std::string second = issue();
  EXPECT_FALSE(pair(first));
  EXPECT_TRUE(pair(second));
  EXPECT_FALSE(pair(second));  // a code pairs exactly one device
  EXPECT_EQ(f.locked()->devices.size(), 1u);
}

TEST_F(PairingCode, AWrongCodeThenTheRightOnePairs) {
  f.random.queue({0, 0, 0, 5});
  const std::string code = issue();
  for (const char* wrong : {"000006", "00005", "0000050", "", "00000５"}) EXPECT_FALSE(pair(wrong)) << wrong;
  EXPECT_TRUE(pair(code));
}

TEST_F(PairingCode, TenWrongAttemptsDiscardTheCode) {
  f.random.queue({0, 0, 0, 5});
  const std::string code = issue();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(pair("999999"));
  EXPECT_TRUE(f.locked()->pending_code);
  EXPECT_FALSE(pair("999999"));  // the tenth
  EXPECT_FALSE(f.locked()->pending_code);
  EXPECT_FALSE(pair(code));
  EXPECT_FALSE(snapshot(f.locked()).pairing_code);

  // A new code starts a new count.
  f.random.queue({0, 0, 0, 6});
  const std::string next = issue();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(pair("999999"));
  EXPECT_TRUE(pair(next));
}

TEST_F(PairingCode, AFailingRandomSourceLeavesTheCodeAndTheStoreAsTheyWere) {
  const std::string code = issue();
  const std::string before = read_file(f.file());
  for (int failing_call : {0, 1}) {  // the token draw, then the id draw
    f.random.fail_call(failing_call);
    auto s = f.locked();
    auto result = pair_with_code(s, ORIGIN, code, "");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), CSPRNG_UNAVAILABLE);
    EXPECT_EQ(s->pending_code, code);
    EXPECT_TRUE(s->devices.empty());
  }
  // Issuing a new code fails without touching the pending one.
  f.random.fail_next();
  {
    auto s = f.locked();
    auto failed = new_pairing_code(s);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), CSPRNG_UNAVAILABLE);
    EXPECT_EQ(s->pending_code, code);
  }
  EXPECT_EQ(read_file(f.file()), before);
  EXPECT_TRUE(pair(code));
}


// ---- Provisioning, revocation, snapshot ---------------------------------------

class StoreOperations : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(f.load()); }
  std::string add_code_device(std::string_view origin = ORIGIN) {
    auto s = f.locked();
    EXPECT_TRUE(new_pairing_code(s));
    auto r = pair_with_code(s, origin, *s->pending_code, "");
    return r && *r ? (*r)->device_id : std::string();
  }
  DeviceCredentials provision(std::optional<std::string> refresh_id, std::string_view origin = ORIGIN,
                              TicketClaims claims = {"user-1", "neg-1"}) {
    auto s = f.locked();
    auto r = provision_device(s, origin, " Etiquetas ", refresh_id, claims);
    EXPECT_TRUE(r);
    return r ? *r : DeviceCredentials{};
  }
  StateFixture f;
};

TEST_F(StoreOperations, ProvisioningWithoutAKnownIdAndOriginAppendsANewDevice) {
  const std::string code_device = add_code_device();
  f.clock.advance(10);
  for (const std::optional<std::string>& refresh : {std::optional<std::string>{}, std::optional<std::string>{"nope"},
                                                    std::optional<std::string>{code_device}}) {
    // The last case names the code device but comes from another origin.
    const std::string origin = refresh == code_device ? "https://otra.erp.zunel.example" : ORIGIN;
    const DeviceCredentials creds = provision(refresh, origin);
    auto s = f.locked();
    const Device& d = s->devices.back();
    EXPECT_EQ(d.id, creds.device_id);
    EXPECT_NE(d.id, code_device);
    EXPECT_EQ(d.origin, origin);
    EXPECT_EQ(d.label, "Etiquetas");
    EXPECT_EQ(d.source, DeviceSource::Auto);
    EXPECT_EQ(d.created, 1'700'000'010u);
    EXPECT_EQ(d.expira, std::optional<std::uint64_t>(1'700'000'010u + 604800));
    EXPECT_EQ(d.negocio_id, std::optional<std::string>("neg-1"));
    EXPECT_EQ(d.user_sub, std::optional<std::string>("user-1"));
    EXPECT_EQ(to_hex(d.token), creds.token_hex);
  }
  auto s = f.locked();
  EXPECT_EQ(s->devices.size(), 4u);
  EXPECT_EQ(s->devices[0].source, DeviceSource::Code);  // untouched
}

TEST_F(StoreOperations, ProvisioningWithAKnownIdAndOriginRefreshesThatDeviceInPlace) {
  const std::string code_device = add_code_device();
  const std::string other = add_code_device();
  const std::vector<std::uint8_t> old_token = f.locked()->devices[0].token;
  f.clock.advance(50);
  const DeviceCredentials creds = provision(code_device, ORIGIN, TicketClaims{"", "neg-2"});
  auto s = f.locked();
  ASSERT_THAT(device_ids(s), ElementsAre(code_device, other));
  const Device& d = s->devices[0];
  EXPECT_EQ(creds.device_id, code_device);
  EXPECT_NE(d.token, old_token);
  EXPECT_EQ(to_hex(d.token), creds.token_hex);
  EXPECT_EQ(d.source, DeviceSource::Auto);
  EXPECT_EQ(d.created, 1'700'000'050u);
  EXPECT_EQ(d.expira, std::optional<std::uint64_t>(1'700'000'050u + 604800));
  EXPECT_EQ(d.user_sub, std::optional<std::string>(""));
  EXPECT_EQ(d.negocio_id, std::optional<std::string>("neg-2"));
  EXPECT_NE(read_file(f.file()).find(creds.token_hex), std::string::npos);
}

TEST_F(StoreOperations, AFailingRandomSourceLeavesProvisioningWithoutEffect) {
  const std::string existing = add_code_device();
  const std::string before = read_file(f.file());
  const std::vector<std::uint8_t> old_token = f.locked()->devices[0].token;
  struct Case {
    std::optional<std::string> refresh;
    int failing_call;
  };
  for (const Case& c : {Case{existing, 0}, Case{std::nullopt, 0}, Case{std::nullopt, 1}}) {
    f.random.fail_call(c.failing_call);
    auto s = f.locked();
    auto r = provision_device(s, ORIGIN, "x", c.refresh, TicketClaims{"u", "n"});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), CSPRNG_UNAVAILABLE);
    ASSERT_EQ(s->devices.size(), 1u);
    EXPECT_EQ(s->devices[0].token, old_token);
    EXPECT_EQ(s->devices[0].source, DeviceSource::Code);
  }
  EXPECT_EQ(read_file(f.file()), before);
}

TEST_F(StoreOperations, RevokeRemovesEveryDeviceWithTheIdAndSavesOnlyWhenSomethingWent) {
  {
    auto s = f.locked();
    for (const char* id : {"a", "b", "a", "c"}) {
      s->devices.push_back(Device{.id = id,
                                  .token = std::vector<std::uint8_t>(32, 1),
                                  .origin = ORIGIN,
                                  .label = "l",
                                  .created = 1,
                                  .source = DeviceSource::Code,
                                  .negocio_id = std::nullopt,
                                  .user_sub = std::nullopt,
                                  .expira = std::nullopt});
    }
  }
  write_file(f.file(), "marker");
  {
    auto s = f.locked();
    EXPECT_FALSE(revoke_device(s, "A"));  // ids compare exactly
    EXPECT_FALSE(revoke_device(s, ""));
  }
  EXPECT_EQ(read_file(f.file()), "marker");  // not saved

  {
    auto s = f.locked();
    EXPECT_TRUE(revoke_device(s, "a"));
    EXPECT_THAT(device_ids(s), ElementsAre("b", "c"));
  }
  const std::string saved = read_file(f.file());
  EXPECT_NE(saved.find("\"b\""), std::string::npos);
  EXPECT_EQ(saved.find("\"a\""), std::string::npos);
}

TEST_F(StoreOperations, SnapshotSortsByCreatedKeepingStoreOrderOnTiesAndHidesSecrets) {
  {
    auto s = f.locked();
    const auto add = [&](const char* id, std::uint64_t created) {
      s->devices.push_back(Device{.id = id,
                                  .token = std::vector<std::uint8_t>(32, 7),
                                  .origin = "o",
                                  .label = "l",
                                  .created = created,
                                  .source = DeviceSource::Auto,
                                  .negocio_id = "n",
                                  .user_sub = "secret-sub",
                                  .expira = created + 1});
    };
    add("late", 30);
    add("tie-1", 20);
    add("early", 10);
    add("tie-2", 20);
  }
  const AgentInfo info = snapshot(f.locked());
  std::vector<std::string> order;
  for (const DeviceInfo& d : info.devices) order.push_back(d.id);
  EXPECT_THAT(order, ElementsAre("early", "tie-1", "tie-2", "late"));
  EXPECT_EQ(info.id, "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(info.port, 47631);
  EXPECT_EQ(info.version, "1.0.1");
}

TEST_F(StoreOperations, SnapshotShowsThePendingCodeOnlyWhileItIsValid) {
  f.random.queue({0, 0, 0, 9});
  {
    auto s = f.locked();
    ASSERT_TRUE(new_pairing_code(s));
  }
  f.clock.advance(299);
  EXPECT_EQ(snapshot(f.locked()).pairing_code, std::optional<std::string>("000009"));
  f.clock.advance(1);
  EXPECT_FALSE(snapshot(f.locked()).pairing_code);
}

// ---- Labels ------------------------------------------------------------------

TEST(Label, IsTrimmedDefaultedAndCutAtSixtyCharacters) {
  std::string two_byte_60;
  for (int i = 0; i < 60; ++i) two_byte_60 += "ñ";
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {
           Case{"Caja", "Caja"},
           Case{"  \t Caja 2 \n", "Caja 2"},
           Case{"\u00a0\u3000Caja\u2028", "Caja"},  // Unicode white space too
           Case{"", "Dispositivo"},
           Case{"      ", "Dispositivo"},
           Case{"\u2003\u00a0", "Dispositivo"},
           Case{std::string(70, 'x'), std::string(60, 'x')},
           Case{two_byte_60, two_byte_60},
           Case{two_byte_60 + "ñ", two_byte_60},
           Case{std::string(59, 'x') + "€€", std::string(59, 'x') + "€"},
       }) {
    EXPECT_EQ(normalize_label(c.in), c.out) << c.in;
  }
}

}  // namespace
}  // namespace zunel
