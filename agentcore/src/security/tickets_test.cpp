#include "security/tickets.h"

#include <sodium.h>

#include <algorithm>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "security/pairing_store.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using testing::base64url;
using testing::read_file;
using testing::sign_jws;
using testing::StateFixture;
using testing::TEST_KID;

constexpr std::uint64_t NOW = 1'700'000'000;
const std::string HEADER = R"({"alg":"EdDSA","kid":"7e57c0de","typ":"JWT"})";
const std::string CLAIMS = R"("iss":"zunel-erp","aud":"zunel-print-agent")";

std::vector<TrustedKey> test_keys() { return parse_keyset(testing::test_keyset_json()); }

std::string sign_segments(std::string_view header_segment, std::string_view payload_segment) {
  static const testing::TestSigningKey key;
  const std::string input = std::string(header_segment) + "." + std::string(payload_segment);
  unsigned char sig[64];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                       key.secret_key.data());
  return input + "." + testing::base64(sig, 64, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

// Replaces the signature segment of `jws` by these 64 bytes.
std::string with_signature(const std::string& jws, const std::vector<unsigned char>& sig) {
  return jws.substr(0, jws.rfind('.') + 1) + testing::base64(sig.data(), sig.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

std::vector<unsigned char> signature_of(const std::string& jws) {
  const std::string seg = jws.substr(jws.rfind('.') + 1);
  std::vector<unsigned char> out(64);
  std::size_t len = 0;
  sodium_base642bin(out.data(), out.size(), seg.data(), seg.size(), nullptr, &len, nullptr,
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(len);
  return out;
}

// S + L: the same signature with a non-canonical S half.
std::vector<unsigned char> with_s_plus_l(std::vector<unsigned char> sig) {
  static constexpr unsigned char L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                          0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned sum = sig[32 + i] + L[i] + carry;
    sig[32 + i] = static_cast<unsigned char>(sum);
    carry = sum >> 8;
  }
  return sig;
}

// ---- verify_jws ----------------------------------------------------------------

struct JwsCase {
  const char* name;
  std::string text;
  std::string message;  // empty: accepted
};

class VerifyJws : public ::testing::TestWithParam<JwsCase> {};

TEST_P(VerifyJws, GivesTheMessageOfTheFirstFailingStep) {
  TrustedKey not_a_point{"bad-point", std::vector<std::uint8_t>(32, 0)};
  not_a_point.public_key[0] = 2;
  TrustedKey small_order{"small", std::vector<std::uint8_t>(32, 0)};
  small_order.public_key[0] = 1;  // the identity point
  std::vector<TrustedKey> keys = test_keys();
  keys.insert(keys.begin(), not_a_point);
  keys.push_back(small_order);
  keys.push_back(TrustedKey{TEST_KID, std::vector<std::uint8_t>(32, 0)});  // a later duplicate kid is not used

  auto result = verify_jws(GetParam().text, keys, "zunel-erp", "zunel-print-agent");
  if (GetParam().message.empty()) {
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->at("x").as_int64(), 1);
  } else {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), GetParam().message);
  }
}

const std::string GOOD = sign_jws(HEADER, "{" + CLAIMS + R"(,"x":1})");
const std::string GOOD_HEADER_SEG = GOOD.substr(0, GOOD.find('.'));
const std::string GOOD_PAYLOAD_SEG = GOOD.substr(GOOD.find('.') + 1, GOOD.rfind('.') - GOOD.find('.') - 1);
const std::string GOOD_SIG_SEG = GOOD.substr(GOOD.rfind('.') + 1);

std::string with_header(const std::string& header_json) { return sign_jws(header_json, "{" + CLAIMS + R"(,"x":1})"); }
std::string with_payload(const std::string& payload_json) { return sign_jws(HEADER, payload_json); }

INSTANTIATE_TEST_SUITE_P(
    Steps, VerifyJws,
    ::testing::Values(
        JwsCase{"valid", GOOD, ""},
        JwsCase{"empty_text", "", "jws sin payload"},
        JwsCase{"one_segment", GOOD_HEADER_SEG, "jws sin payload"},
        JwsCase{"two_segments", GOOD_HEADER_SEG + "." + GOOD_PAYLOAD_SEG, "jws sin firma"},
        JwsCase{"four_segments", GOOD + ".", "jws con segmentos de más"},
        JwsCase{"padded_header", GOOD_HEADER_SEG + "=." + GOOD_PAYLOAD_SEG + "." + GOOD_SIG_SEG, "base64url inválido"},
        JwsCase{"standard_alphabet_header", "ab+c." + GOOD_PAYLOAD_SEG + "." + GOOD_SIG_SEG, "base64url inválido"},
        JwsCase{"trailing_bits_in_header", "QR." + GOOD_PAYLOAD_SEG + "." + GOOD_SIG_SEG, "base64url inválido"},
        JwsCase{"header_not_json", sign_segments(base64url("alg=EdDSA"), GOOD_PAYLOAD_SEG), "header no es JSON"},
        JwsCase{"header_duplicate_key", with_header(R"({"alg":"EdDSA","alg":"EdDSA","kid":"7e57c0de"})"),
                "header no es JSON"},
        JwsCase{"alg_lower_case", with_header(R"({"alg":"eddsa","kid":"7e57c0de"})"), "alg != EdDSA"},
        JwsCase{"alg_extra_space", with_header(R"({"alg":"EdDSA ","kid":"7e57c0de"})"), "alg != EdDSA"},
        JwsCase{"alg_none", with_header(R"({"alg":"none","kid":"7e57c0de"})"), "alg != EdDSA"},
        JwsCase{"alg_missing", with_header(R"({"kid":"7e57c0de"})"), "alg != EdDSA"},
        JwsCase{"header_array", with_header(R"(["EdDSA"])"), "alg != EdDSA"},
        JwsCase{"kid_missing", with_header(R"({"alg":"EdDSA"})"), "header sin kid"},
        JwsCase{"kid_number", with_header(R"({"alg":"EdDSA","kid":7})"), "header sin kid"},
        JwsCase{"kid_unknown", with_header(R"({"alg":"EdDSA","kid":"7E57C0DE"})"), "kid desconocido"},
        JwsCase{"signature_empty", GOOD_HEADER_SEG + "." + GOOD_PAYLOAD_SEG + ".", "firma mal formada"},
        JwsCase{"signature_63_bytes", with_signature(GOOD, std::vector<unsigned char>(63, 1)), "firma mal formada"},
        JwsCase{"signature_padded", GOOD + "=", "base64url inválido"},
        JwsCase{"not_a_curve_point", with_header(R"({"alg":"EdDSA","kid":"bad-point"})"), "pública inválida"},
        JwsCase{"small_order_key", with_header(R"({"alg":"EdDSA","kid":"small"})"), "firma inválida"},
        JwsCase{"signature_bit_flipped",
                with_signature(GOOD, [] { auto s = signature_of(GOOD); s[10] ^= 1; return s; }()), "firma inválida"},
        JwsCase{"non_canonical_s", with_signature(GOOD, with_s_plus_l(signature_of(GOOD))), "firma inválida"},
        JwsCase{"payload_changed", GOOD_HEADER_SEG + "." + base64url("{" + CLAIMS + R"(,"x":2})") + "." + GOOD_SIG_SEG,
                "firma inválida"},
        JwsCase{"invalid_payload_not_read_before_signature", GOOD_HEADER_SEG + ".!!." + GOOD_SIG_SEG, "firma inválida"},
        JwsCase{"payload_not_base64url", sign_segments(GOOD_HEADER_SEG, GOOD_PAYLOAD_SEG + "="), "base64url inválido"},
        JwsCase{"payload_not_json", with_payload("{" + CLAIMS), "payload no es JSON"},
        JwsCase{"iss_missing", with_payload(R"({"aud":"zunel-print-agent","x":1})"), "iss inválido"},
        JwsCase{"iss_other", with_payload(R"({"iss":"zunel-erp ","aud":"zunel-print-agent","x":1})"), "iss inválido"},
        JwsCase{"aud_array", with_payload(R"({"iss":"zunel-erp","aud":["zunel-print-agent"],"x":1})"), "aud inválido"},
        JwsCase{"aud_missing", with_payload(R"({"iss":"zunel-erp","x":1})"), "aud inválido"},
        JwsCase{"payload_array", with_payload(R"(["zunel-erp"])"), "iss inválido"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Provisioning tickets --------------------------------------------------------

class ProvisioningTicket : public ::testing::Test {
 protected:
  void SetUp() override {
    f.clock.set(NOW);
    ASSERT_TRUE(f.load());
  }
  std::optional<TicketClaims> check(const std::string& ticket) {
    auto s = f.locked();
    return check_provisioning_ticket(s, ticket);
  }
  StateFixture f;
};

std::string ticket(const std::string& members) { return sign_jws(HEADER, "{" + CLAIMS + "," + members + "}"); }

std::string claims(std::uint64_t exp, std::uint64_t iat, const std::string& jti, const std::string& rest = "") {
  return R"("scope":["print"],"exp":)" + std::to_string(exp) + R"(,"iat":)" + std::to_string(iat) +
         R"(,"jti":")" + jti + R"(","negocio_id":"neg-1")" + rest;
}

struct ClaimCase {
  const char* name;
  std::string members;
  bool accepted;
};

class TicketClaimRules : public ProvisioningTicket, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(TicketClaimRules, AcceptOrRefuseSilentlyAndRecordTheIdOnlyWhenAccepted) {
  const auto result = check(ticket(GetParam().members));
  EXPECT_EQ(result.has_value(), GetParam().accepted);
  EXPECT_EQ(f.locked()->jti_cache.size(), GetParam().accepted ? 1u : 0u);
  EXPECT_EQ(f.diagnostics.str(), "");
}

const std::string T = std::to_string(NOW);
INSTANTIATE_TEST_SUITE_P(
    Claims, TicketClaimRules,
    ::testing::Values(
        ClaimCase{"valid", claims(NOW + 1, NOW, "j"), true},
        ClaimCase{"scope_string", R"("scope":"print","exp":)" + std::to_string(NOW + 9) + ",\"iat\":" + T + R"(,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"scope_other_then_print", R"("scope":["admin","print"],"exp":)" + std::to_string(NOW + 9) + ",\"iat\":" + T + R"(,"jti":"j","negocio_id":"n")", true},
        ClaimCase{"scope_without_print", R"("scope":["PRINT"],"exp":)" + std::to_string(NOW + 9) + ",\"iat\":" + T + R"(,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"scope_missing", R"("exp":)" + std::to_string(NOW + 9) + ",\"iat\":" + T + R"(,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"exp_equal_to_now", claims(NOW, NOW, "j"), false},
        ClaimCase{"iat_60_ahead", claims(NOW + 100, NOW + 60, "j"), true},
        ClaimCase{"iat_61_ahead", claims(NOW + 100, NOW + 61, "j"), false},
        ClaimCase{"iat_long_ago", claims(NOW + 100, 0, "j"), true},
        ClaimCase{"exp_fraction", R"("scope":["print"],"exp":1700000100.0,"iat":)" + T + R"(,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"exp_string", R"("scope":["print"],"exp":"1700000100","iat":)" + T + R"(,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"iat_negative", R"("scope":["print"],"exp":1700000100,"iat":-1,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"iat_missing", R"("scope":["print"],"exp":1700000100,"jti":"j","negocio_id":"n")", false},
        ClaimCase{"jti_empty", claims(NOW + 9, NOW, ""), false},
        ClaimCase{"jti_number", R"("scope":["print"],"exp":1700000100,"iat":1700000000,"jti":5,"negocio_id":"n")", false},
        ClaimCase{"negocio_empty", R"("scope":["print"],"exp":1700000100,"iat":1700000000,"jti":"j","negocio_id":"")", false},
        ClaimCase{"negocio_missing", R"("scope":["print"],"exp":1700000100,"iat":1700000000,"jti":"j")", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProvisioningTicket, ReturnsSubAndNegocioWithAMissingOrNonStringSubAsEmpty) {
  struct Case {
    std::string rest;
    std::string user_sub;
  };
  int n = 0;
  for (const Case& c : {Case{R"(,"sub":"ana@erp")", "ana@erp"}, Case{"", ""}, Case{R"(,"sub":42)", ""},
                        Case{R"(,"sub":null)", ""}}) {
    const auto result = check(ticket(claims(NOW + 9, NOW, "j" + std::to_string(n++), c.rest)));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->user_sub, c.user_sub);
    EXPECT_EQ(result->negocio_id, "neg-1");
  }
}

TEST_F(ProvisioningTicket, ATicketIdIsAcceptedOnceWhileItsTicketIsUnexpired) {
  const std::string first = ticket(claims(NOW + 100, NOW, "same"));
  ASSERT_TRUE(check(first));
  // A refresh in between does not make the ticket usable again.
  {
    auto s = f.locked();
    ASSERT_TRUE(provision_device(s, "https://o", "", std::nullopt, TicketClaims{"", "neg-1"}));
  }
  EXPECT_FALSE(check(first));
  // Another ticket with the same id and a later expiry is refused too...
  EXPECT_FALSE(check(ticket(claims(NOW + 500, NOW, "same"))));
  // ...until the first ticket's exp has passed.
  f.clock.set(NOW + 100);
  EXPECT_TRUE(check(ticket(claims(NOW + 500, NOW, "same"))));
}

TEST_F(ProvisioningTicket, ARefusedTicketLeavesItsIdUnused) {
  EXPECT_FALSE(check(ticket(R"("scope":["print"],"exp":1700000100,"iat":1700000000,"jti":"k","negocio_id":"")")));
  EXPECT_TRUE(check(ticket(claims(NOW + 100, NOW, "k"))));
}

TEST_F(ProvisioningTicket, AnUnverifiedTicketWritesOneDiagnosticLine) {
  EXPECT_FALSE(check(GOOD_HEADER_SEG + "." + GOOD_PAYLOAD_SEG));
  EXPECT_EQ(f.diagnostics.str(), "[agente] ticket rechazado: jws sin firma\n");
}

// ---- Revocation lists ------------------------------------------------------------

std::string revocation_list(const std::string& negocio, std::uint64_t seq, const std::string& revocations) {
  return sign_jws(HEADER, "{" + CLAIMS + R"(,"typ":"revocations","negocio_id":")" + negocio + R"(","seq":)" +
                              std::to_string(seq) + R"(,"revocations":)" + revocations + "}");
}

class RevocationList : public ::testing::Test {
 protected:
  void SetUp() override {
    f.clock.set(NOW);
    ASSERT_TRUE(f.load());
    auto s = f.locked();
    const auto add = [&](const char* id, DeviceSource source, std::optional<std::string> negocio, std::uint64_t created,
                         std::optional<std::string> user_sub) {
      s->devices.push_back(Device{.id = id,
                                  .token = std::vector<std::uint8_t>(32, 1),
                                  .origin = "o",
                                  .label = "l",
                                  .created = created,
                                  .source = source,
                                  .negocio_id = std::move(negocio),
                                  .user_sub = std::move(user_sub),
                                  .expira = created + 604800});
    };
    add("code", DeviceSource::Code, "n", 100, "u1");  // a code device is never removed, whatever it holds
    add("u1-old", DeviceSource::Auto, "n", 100, "u1");
    add("u1-at", DeviceSource::Auto, "n", 150, "u1");
    add("u2-old", DeviceSource::Auto, "n", 100, "u2");
    add("empty-sub", DeviceSource::Auto, "n", 100, "");
    add("no-sub", DeviceSource::Auto, "n", 100, std::nullopt);
    add("no-negocio", DeviceSource::Auto, std::nullopt, 100, "u1");
    add("other-negocio", DeviceSource::Auto, "m", 100, "u1");
  }
  // The sequence number in force; what the list removed is kept in `removed`.
  std::optional<std::uint64_t> apply(const std::string& list) {
    auto s = f.locked();
    const auto result = apply_revocation_list(s, list);
    removed = result ? result->removed : 0;
    return result ? std::optional<std::uint64_t>(result->applied_seq) : std::nullopt;
  }
  std::size_t removed = 0;
  std::vector<std::string> remaining() {
    std::vector<std::string> ids;
    for (const Device& d : f.locked()->devices) ids.push_back(d.id);
    return ids;
  }
  StateFixture f;
};

struct EntryCase {
  const char* name;
  std::string revocations;
  std::vector<std::string> removed;
};

class RevocationMatching : public RevocationList, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(RevocationMatching, RemovesExactlyTheMatchingProvisionedDevices) {
  const std::vector<std::string> all = remaining();
  EXPECT_EQ(apply(revocation_list("n", 1, GetParam().revocations)), std::optional<std::uint64_t>(1));
  std::vector<std::string> expected;
  std::copy_if(all.begin(), all.end(), std::back_inserter(expected), [&](const std::string& id) {
    return std::find(GetParam().removed.begin(), GetParam().removed.end(), id) == GetParam().removed.end();
  });
  EXPECT_EQ(remaining(), expected);
  EXPECT_EQ(removed, GetParam().removed.size());
  EXPECT_EQ(f.locked()->revoked_seq.at("n"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RevocationMatching,
    ::testing::Values(
        EntryCase{"negocio_before_150", R"([{"tipo":"negocio","revoke_before":150}])",
                  {"u1-old", "u2-old", "empty-sub", "no-sub"}},
        EntryCase{"negocio_before_151", R"([{"tipo":"negocio","revoke_before":151}])",
                  {"u1-old", "u1-at", "u2-old", "empty-sub", "no-sub"}},
        EntryCase{"usuario_u1", R"([{"tipo":"usuario","user_sub":"u1","revoke_before":1000}])", {"u1-old", "u1-at"}},
        EntryCase{"usuario_empty_sub", R"([{"tipo":"usuario","user_sub":"","revoke_before":1000}])", {"empty-sub"}},
        EntryCase{"usuario_without_sub", R"([{"tipo":"usuario","revoke_before":1000}])", {"no-sub"}},
        EntryCase{"usuario_sub_not_string", R"([{"tipo":"usuario","user_sub":7,"revoke_before":1000}])", {"no-sub"}},
        EntryCase{"tipo_other_case", R"([{"tipo":"Negocio","revoke_before":1000}])", {}},
        EntryCase{"tipo_missing", R"([{"revoke_before":1000}])", {}},
        EntryCase{"revoke_before_missing", R"([{"tipo":"negocio"}])", {}},
        EntryCase{"revoke_before_string", R"([{"tipo":"negocio","revoke_before":"1000"}])", {}},
        EntryCase{"revoke_before_negative", R"([{"tipo":"negocio","revoke_before":-1}])", {}},
        EntryCase{"entry_not_object", R"(["negocio",[1]])", {}},
        EntryCase{"revocations_not_array", R"({"tipo":"negocio","revoke_before":1000})", {}},
        EntryCase{"any_matching_entry_removes",
                  R"([{"tipo":"usuario","user_sub":"u2","revoke_before":50},{"tipo":"usuario","user_sub":"u2","revoke_before":101}])",
                  {"u2-old"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RevocationList, OnlyAGreaterSequenceNumberChangesAnythingAndItIsStored) {
  const std::string all = R"([{"tipo":"negocio","revoke_before":1000}])";
  EXPECT_EQ(apply(revocation_list("n", 0, all)), std::optional<std::uint64_t>(0));  // fresh store: 0 is not greater
  EXPECT_EQ(remaining().size(), 8u);
  EXPECT_EQ(apply(revocation_list("n", 5, "[]")), std::optional<std::uint64_t>(5));
  EXPECT_EQ(apply(revocation_list("n", 3, all)), std::optional<std::uint64_t>(5));
  EXPECT_EQ(removed, 0u);  // a stale list removes nothing
  EXPECT_EQ(apply(revocation_list("n", 5, all)), std::optional<std::uint64_t>(5));
  EXPECT_EQ(remaining().size(), 8u);
  // Sequence numbers are per business; an empty business name is a business too.
  EXPECT_EQ(apply(revocation_list("", 2, "[]")), std::optional<std::uint64_t>(2));
  EXPECT_EQ(apply(revocation_list("m", 1, all)), std::optional<std::uint64_t>(1));
  EXPECT_THAT(remaining(), ::testing::Not(::testing::Contains("other-negocio")));

  ASSERT_TRUE(f.load());  // the numbers survive a restart
  EXPECT_EQ(apply(revocation_list("n", 4, all)), std::optional<std::uint64_t>(5));
  EXPECT_EQ(f.locked()->revoked_seq.at(""), 2u);
  EXPECT_EQ(f.locked()->revoked_seq.at("m"), 1u);
}

TEST_F(RevocationList, AMalformedListIsRefusedSilentlyAndAnUnverifiedOneWithALine) {
  const std::string before = read_file(f.file());
  for (const std::string& payload : {
           std::string(R"("typ":"revocation","negocio_id":"n","seq":1)"),
           std::string(R"("negocio_id":"n","seq":1)"),
           std::string(R"("typ":"revocations","negocio_id":5,"seq":1)"),
           std::string(R"("typ":"revocations","seq":1)"),
           std::string(R"("typ":"revocations","negocio_id":"n","seq":-1)"),
           std::string(R"("typ":"revocations","negocio_id":"n","seq":1.0)"),
           std::string(R"("typ":"revocations","negocio_id":"n")"),
       }) {
    EXPECT_FALSE(apply(sign_jws(HEADER, "{" + CLAIMS + "," + payload + R"(,"revocations":[]})"))) << payload;
  }
  EXPECT_EQ(f.diagnostics.str(), "");
  EXPECT_FALSE(apply(with_signature(revocation_list("n", 9, "[]"), std::vector<unsigned char>(64, 0))));
  EXPECT_EQ(f.diagnostics.str(), "[agente] revocaciones rechazadas: firma inválida\n");
  EXPECT_TRUE(f.locked()->revoked_seq.empty());
  EXPECT_EQ(remaining().size(), 8u);
  EXPECT_EQ(read_file(f.file()), before);
}

TEST_F(RevocationList, AnAppliedListIsSaved) {
  ASSERT_TRUE(apply(revocation_list("n", 7, R"([{"tipo":"usuario","user_sub":"u2","revoke_before":1000}])")));
  const std::string saved = read_file(f.file());
  EXPECT_NE(saved.find("\"revoked_seq\": {\n    \"n\": 7\n  }"), std::string::npos);
  EXPECT_EQ(saved.find("u2-old"), std::string::npos);
}

}  // namespace
}  // namespace zunel
