#include "security/request_signature.h"

#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/hex.h"
#include "server/http_message.h"
#include "request_signer.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using testing::StateFixture;

constexpr std::uint64_t NOW = 1'700'000'000;
constexpr const char* ORIGIN = "https://caja.erp.zunel.example";

std::vector<std::uint8_t> token_bytes(std::uint8_t first) {
  std::vector<std::uint8_t> t(32);
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(first + i);
  return t;
}

// One request; `headers()` gives the header list as the HTTP layer would.
struct Request {
  std::vector<std::pair<std::string, std::string>> fields;
  std::string origin = ORIGIN;
  std::string body = R"({"a":1})";

  // A correctly signed request of the device with `token`.
  static Request signed_by(const std::vector<std::uint8_t>& token, std::uint64_t ts, std::string nonce,
                           std::string body = R"({"a":1})") {
    Request r;
    r.body = std::move(body);
    r.fields = testing::signed_headers(token, r.body, nonce, ts);
    r.fields.emplace_back("Content-Type", "application/json");
    return r;
  }
  std::string& field(std::string_view name) {
    for (auto& [n, v] : fields) {
      if (n == name) return v;
    }
    throw std::logic_error("no such header");
  }
  // As the server reads them: the first header of each name, ASCII case ignored.
  SignatureHeaders headers() const {
    const auto value = [this](std::string_view name) {
      const std::string* found = find_header(fields, name);
      return found ? std::string_view(*found) : std::string_view();
    };
    return {value("Authorization"), value("X-Zunel-Timestamp"), value("X-Zunel-Nonce"),
            value("X-Zunel-Sign")};
  }
};

class VerifyRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.clock.set(NOW);
    ASSERT_TRUE(f.load());
    auto s = f.locked();
    // Another device first, so a lookup that stops early or takes the last
    // device would be caught.
    const Device code{.id = "code",
                      .token = code_token,
                      .origin = ORIGIN,
                      .label = "l",
                      .created = NOW,
                      .source = DeviceSource::Code,
                      .negocio_id = std::nullopt,
                      .user_sub = std::nullopt,
                      .expira = std::nullopt};
    Device other = code;
    other.id = "other";
    other.token = token_bytes(100);
    s->devices.push_back(other);
    s->devices.push_back(code);
    s->devices.push_back(Device{.id = "auto",
                                .token = auto_token,
                                .origin = ORIGIN,
                                .label = "l",
                                .created = NOW - 100,
                                .source = DeviceSource::Auto,
                                .negocio_id = "n",
                                .user_sub = "u",
                                .expira = NOW + 1000});
  }
  RequestVerdict verify(const Request& r) {
    return verify_request(*f.state, parse_signature_fields(r.headers()), r.origin, sha256(r.body));
  }
  std::size_t cached_nonces() { return f.locked()->nonce_cache.size(); }

  StateFixture f;
  const std::vector<std::uint8_t> code_token = token_bytes(0);
  const std::vector<std::uint8_t> auto_token = token_bytes(50);
};

TEST_F(VerifyRequest, AcceptsAKnownAnswerSignature) {
  // HMAC-SHA-256 keyed with the token's bytes 00..1f over
  // "1700000000.n-1.<sha256 of {"a":1}>", computed outside the agent.
  Request r;
  r.fields = {{"Authorization", "Bearer " + to_hex(code_token)},
              {"X-Zunel-Timestamp", "1700000000"},
              {"X-Zunel-Nonce", "n-1"},
              {"X-Zunel-Sign", "e2b0c7918186a5d7b332267be396551c8dd95c161919d06809bf9721b34aaaa1"}};
  EXPECT_EQ(verify(r), RequestVerdict::Accept);
  // The tests' signer, which every other case uses, makes the same signature.
  EXPECT_EQ(Request::signed_by(code_token, NOW, "n-1").field("X-Zunel-Sign"), r.field("X-Zunel-Sign"));
}

struct HeaderCase {
  const char* name;
  std::function<void(Request&, const std::vector<std::uint8_t>& token)> change;
  RequestVerdict expected;
};

class VerifyRequestHeaders : public VerifyRequest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(VerifyRequestHeaders, AppliesTheRuleAndUsesUpTheNonceOnlyWhenAccepted) {
  Request r = Request::signed_by(code_token, NOW, "nonce-1");
  GetParam().change(r, code_token);
  EXPECT_EQ(verify(r), GetParam().expected);
  EXPECT_EQ(cached_nonces(), GetParam().expected == RequestVerdict::Accept ? 1u : 0u);
}

// Re-signs the request with a different timestamp header text and signed value.
void resign(Request& r, const std::vector<std::uint8_t>& token, std::string ts_header, std::string signed_ts) {
  r.field("X-Zunel-Timestamp") = std::move(ts_header);
  r.field("X-Zunel-Sign") =
      testing::hmac_hex(token, signed_ts + "." + r.field("X-Zunel-Nonce") + "." + testing::body_digest_hex(r.body));
}

const auto accept = RequestVerdict::Accept;
const auto refuse = RequestVerdict::Refuse;
using Tok = const std::vector<std::uint8_t>&;

INSTANTIATE_TEST_SUITE_P(
    Rules, VerifyRequestHeaders,
    ::testing::Values(
        HeaderCase{"unchanged", [](Request&, Tok) {}, accept},
        // Authorization
        HeaderCase{"lower_case_bearer", [](Request& r, Tok) { r.field("Authorization")[0] = 'b'; }, refuse},
        HeaderCase{"extra_space_after_bearer", [](Request& r, Tok) { r.field("Authorization").insert(7, " "); }, accept},
        HeaderCase{"white_space_around_token",
                   [](Request& r, Tok) { r.field("Authorization") = r.field("Authorization") + "\t \u00a0"; }, accept},
        HeaderCase{"no_space_after_bearer", [](Request& r, Tok) { r.field("Authorization").erase(6, 1); }, refuse},
        HeaderCase{"upper_case_token",
                   [](Request& r, Tok) {
                     std::string& value = r.field("Authorization");
                     for (std::size_t i = 7; i < value.size(); ++i) value[i] = static_cast<char>(std::toupper(value[i]));
                   },
                   accept},
        HeaderCase{"token_62_digits", [](Request& r, Tok) { r.field("Authorization").resize(7 + 62); }, refuse},
        HeaderCase{"token_66_digits", [](Request& r, Tok) { r.field("Authorization") += "00"; }, refuse},
        HeaderCase{"token_odd_length", [](Request& r, Tok) { r.field("Authorization").pop_back(); }, refuse},
        HeaderCase{"token_not_hex", [](Request& r, Tok) { r.field("Authorization").back() = 'g'; }, refuse},
        HeaderCase{"unknown_token", [](Request& r, Tok) { r.field("Authorization").back() ^= 1; }, refuse},
        HeaderCase{"only_bearer", [](Request& r, Tok) { r.field("Authorization") = "Bearer "; }, refuse},
        HeaderCase{"no_authorization", [](Request& r, Tok) { r.fields.erase(r.fields.begin()); }, refuse},
        // Header names and repeats
        HeaderCase{"names_in_other_case",
                   [](Request& r, Tok) {
                     r.fields[0].first = "AUTHORIZATION";
                     r.fields[1].first = "x-zunel-timestamp";
                     r.fields[2].first = "x-ZUNEL-nonce";
                     r.fields[3].first = "X-ZUNEL-SIGN";
                   },
                   accept},
        HeaderCase{"first_of_repeated_header_counts",
                   [](Request& r, Tok) { r.fields.emplace_back("X-Zunel-Sign", std::string(64, '0')); }, accept},
        HeaderCase{"later_repeat_does_not_rescue",
                   [](Request& r, Tok) {
                     r.fields.emplace_back("x-zunel-sign", r.field("X-Zunel-Sign"));
                     r.field("X-Zunel-Sign") = std::string(64, '0');
                   },
                   refuse},
        // Origin
        HeaderCase{"other_origin", [](Request& r, Tok) { r.origin = "https://otra.erp.zunel.example"; }, refuse},
        HeaderCase{"origin_with_trailing_slash", [](Request& r, Tok) { r.origin += "/"; }, refuse},
        // Timestamp
        HeaderCase{"plus_sign_signed_without_it",
                   [](Request& r, Tok t) { resign(r, t, "+" + std::to_string(NOW), std::to_string(NOW)); }, accept},
        HeaderCase{"plus_sign_signed_with_it",
                   [](Request& r, Tok t) { resign(r, t, "+" + std::to_string(NOW), "+" + std::to_string(NOW)); }, refuse},
        HeaderCase{"leading_zeros_signed_without_them",
                   [](Request& r, Tok t) { resign(r, t, "00" + std::to_string(NOW), std::to_string(NOW)); }, accept},
        HeaderCase{"trailing_space",
                   [](Request& r, Tok t) { resign(r, t, std::to_string(NOW) + " ", std::to_string(NOW)); }, refuse},
        HeaderCase{"lone_plus", [](Request& r, Tok) { r.field("X-Zunel-Timestamp") = "+"; }, refuse},
        HeaderCase{"lone_minus", [](Request& r, Tok) { r.field("X-Zunel-Timestamp") = "-"; }, refuse},
        HeaderCase{"double_plus",
                   [](Request& r, Tok t) { resign(r, t, "++" + std::to_string(NOW), std::to_string(NOW)); }, refuse},
        HeaderCase{"negative", [](Request& r, Tok t) { resign(r, t, "-0", "0"); }, refuse},
        HeaderCase{"overflow",
                   [](Request& r, Tok t) { resign(r, t, "18446744073709551616", "0"); }, refuse},
        HeaderCase{"missing_timestamp", [](Request& r, Tok) { r.fields.erase(r.fields.begin() + 1); }, refuse},
        HeaderCase{"skew_30_behind",
                   [](Request& r, Tok t) { resign(r, t, std::to_string(NOW - 30), std::to_string(NOW - 30)); }, accept},
        HeaderCase{"skew_30_ahead",
                   [](Request& r, Tok t) { resign(r, t, std::to_string(NOW + 30), std::to_string(NOW + 30)); }, accept},
        HeaderCase{"skew_31_behind",
                   [](Request& r, Tok t) { resign(r, t, std::to_string(NOW - 31), std::to_string(NOW - 31)); }, refuse},
        HeaderCase{"skew_31_ahead",
                   [](Request& r, Tok t) { resign(r, t, std::to_string(NOW + 31), std::to_string(NOW + 31)); }, refuse},
        // Nonce
        HeaderCase{"empty_nonce_even_if_signed",
                   [](Request& r, Tok t) {
                     r.field("X-Zunel-Nonce") = "";
                     resign(r, t, std::to_string(NOW), std::to_string(NOW));
                   },
                   refuse},
        HeaderCase{"nonce_used_exactly_with_spaces",
                   [](Request& r, Tok t) {
                     r.field("X-Zunel-Nonce") = " a%20b ";
                     resign(r, t, std::to_string(NOW), std::to_string(NOW));
                   },
                   accept},
        HeaderCase{"nonce_changed_after_signing", [](Request& r, Tok) { r.field("X-Zunel-Nonce") += "x"; }, refuse},
        // Signature
        HeaderCase{"signature_upper_case",
                   [](Request& r, Tok) { for (char& c : r.field("X-Zunel-Sign")) c = static_cast<char>(std::toupper(c)); },
                   accept},
        HeaderCase{"signature_with_white_space", [](Request& r, Tok) { r.field("X-Zunel-Sign") = " " + r.field("X-Zunel-Sign") + "\t"; },
                   accept},
        HeaderCase{"signature_62_digits", [](Request& r, Tok) { r.field("X-Zunel-Sign").resize(62); }, refuse},
        HeaderCase{"signature_66_digits", [](Request& r, Tok) { r.field("X-Zunel-Sign") += "00"; }, refuse},
        HeaderCase{"signature_odd_length", [](Request& r, Tok) { r.field("X-Zunel-Sign").pop_back(); }, refuse},
        HeaderCase{"signature_last_bit", [](Request& r, Tok) { r.field("X-Zunel-Sign").back() ^= 1; }, refuse},
        HeaderCase{"signature_missing", [](Request& r, Tok) { r.fields.erase(r.fields.begin() + 3); }, refuse},
        HeaderCase{"signature_with_hex_text_key",
                   [](Request& r, Tok t) {
                     const std::string hex = to_hex(t);
                     const std::string msg = std::to_string(NOW) + ".nonce-1." + testing::body_digest_hex(r.body);
                     r.field("X-Zunel-Sign") = testing::hmac_hex(
                         std::span(reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size()), msg);
                   },
                   refuse},
        // Body
        HeaderCase{"body_changed", [](Request& r, Tok) { r.body = R"({"a":2})"; }, refuse},
        HeaderCase{"empty_body_signed_with_empty_digest",
                   [](Request& r, Tok t) {
                     r.body.clear();
                     resign(r, t, std::to_string(NOW), std::to_string(NOW));
                   },
                   accept}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifyRequest, AProvisionedDeviceIsRefusedFromItsExpiryOnACodeDeviceNever) {
  f.clock.set(NOW + 999);
  EXPECT_EQ(verify(Request::signed_by(auto_token, NOW + 999, "a")), RequestVerdict::Accept);
  f.clock.set(NOW + 1000);
  EXPECT_EQ(verify(Request::signed_by(auto_token, NOW + 1000, "b")), RequestVerdict::Refuse);
  f.clock.set(NOW + 10 * 365 * 86400);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW + 10 * 365 * 86400, "c")), RequestVerdict::Accept);
}

TEST_F(VerifyRequest, ARefusalNamesTheCheckThatRefusedIt) {
  const auto why = [&](const Request& r) {
    RequestRefusal refusal{};
    EXPECT_EQ(verify_request(*f.state, parse_signature_fields(r.headers()), r.origin, sha256(r.body), &refusal),
              RequestVerdict::Refuse);
    return refusal;
  };
  Request missing = Request::signed_by(code_token, NOW, "m");
  missing.field("X-Zunel-Nonce").clear();
  EXPECT_EQ(why(missing), RequestRefusal::MissingHeaders);
  EXPECT_EQ(why(Request::signed_by(token_bytes(7), NOW, "u")), RequestRefusal::UnknownDevice);
  EXPECT_EQ(why(Request::signed_by(code_token, NOW - TIMESTAMP_SKEW_SECS - 1, "s")), RequestRefusal::StaleTimestamp);
  Request forged = Request::signed_by(code_token, NOW, "f");
  forged.body = "{}";
  EXPECT_EQ(why(forged), RequestRefusal::BadSignature);
  ASSERT_EQ(verify(Request::signed_by(code_token, NOW, "r")), RequestVerdict::Accept);
  EXPECT_EQ(why(Request::signed_by(code_token, NOW, "r")), RequestRefusal::NonceReused);
  f.clock.set(NOW + 1000);
  EXPECT_EQ(why(Request::signed_by(auto_token, NOW + 1000, "e")), RequestRefusal::DeviceExpired);
}

TEST_F(VerifyRequest, ANonceIsRefusedForSixtySecondsAcrossAllDevices) {
  const Request first = Request::signed_by(code_token, NOW, "n");
  EXPECT_EQ(verify(first), RequestVerdict::Accept);
  EXPECT_EQ(verify(first), RequestVerdict::Refuse);  // replay
  EXPECT_EQ(verify(Request::signed_by(auto_token, NOW, "n")), RequestVerdict::Refuse);  // other device
  f.clock.advance(59);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW + 59, "n")), RequestVerdict::Refuse);
  f.clock.advance(1);
  EXPECT_EQ(verify(Request::signed_by(auto_token, NOW + 60, "n")), RequestVerdict::Accept);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW + 60, "n")), RequestVerdict::Refuse);
}

TEST_F(VerifyRequest, TellsTheDeviceItAcceptedAndWhyItRefused) {
  const Request first = Request::signed_by(code_token, NOW, "r-1");
  auto accepted = verify_device_request(*f.state, parse_signature_fields(first.headers()), first.origin,
                                        sha256(first.body));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->id, "code");
  auto replayed = verify_device_request(*f.state, parse_signature_fields(first.headers()), first.origin,
                                        sha256(first.body));
  ASSERT_FALSE(replayed);
  EXPECT_STREQ(refusal_reason_name(replayed.error()), "nonce_reused");
}

TEST_F(VerifyRequest, ARefusedRequestDoesNotUseUpItsNonce) {
  Request bad = Request::signed_by(code_token, NOW, "n");
  bad.field("X-Zunel-Sign").back() ^= 1;
  EXPECT_EQ(verify(bad), RequestVerdict::Refuse);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW, "n")), RequestVerdict::Accept);
}

TEST_F(VerifyRequest, ExpiredNoncesAreDroppedWhenARequestIsAccepted) {
  for (const char* nonce : {"a", "b", "c"}) ASSERT_EQ(verify(Request::signed_by(code_token, NOW, nonce)), RequestVerdict::Accept);
  f.clock.advance(60);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW + 60, "d")), RequestVerdict::Accept);
  EXPECT_EQ(cached_nonces(), 1u);
}

// Expired nonces are swept at most once a second; one that expired since is
// free all the same (reached when the system clock steps back).
TEST_F(VerifyRequest, AnExpiredNonceIsFreeBeforeTheNextSweep) {
  ASSERT_EQ(verify(Request::signed_by(code_token, NOW, "sweep")), RequestVerdict::Accept);
  f.clock.set(NOW - 70);
  ASSERT_EQ(verify(Request::signed_by(code_token, NOW - 70, "a")), RequestVerdict::Accept);
  f.clock.set(NOW);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW, "a")), RequestVerdict::Accept);
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW, "a")), RequestVerdict::Refuse);
}

TEST_F(VerifyRequest, TheSameTokenUnderTwoOriginsMatchesTheDeviceOfTheRequestOrigin) {
  {
    auto s = f.locked();
    s->devices.push_back(Device{.id = "twin",
                                .token = code_token,
                                .origin = "https://b.erp.zunel.example",
                                .label = "l",
                                .created = NOW,
                                .source = DeviceSource::Auto,
                                .negocio_id = "n",
                                .user_sub = "u",
                                .expira = NOW - 1});
  }
  Request r = Request::signed_by(code_token, NOW, "n");
  r.origin = "https://b.erp.zunel.example";
  EXPECT_EQ(verify(r), RequestVerdict::Refuse);  // the twin has expired
  EXPECT_EQ(verify(Request::signed_by(code_token, NOW, "n")), RequestVerdict::Accept);
}

TEST_F(VerifyRequest, OfConcurrentRequestsWithOneNonceExactlyOneIsAccepted) {
  const Request r = Request::signed_by(code_token, NOW, "shared", std::string(64 * 1024, 'x'));
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (verify(r) == RequestVerdict::Accept) ++accepted;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(accepted.load(), 1);
}

}  // namespace
}  // namespace zunel
