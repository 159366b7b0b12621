#include "router/no_agent_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace zunel {
namespace {

constexpr std::string_view DOMAIN = "erp.example";
const std::string BODY =
    "{\"code\":\"no_agent_for_user\",\"error\":\"no hay un agente de impresión iniciado para este "
    "usuario de Windows\"}";

bool has(const std::string& answer, std::string_view part) { return answer.find(part) != std::string::npos; }

TEST(NoAgentAnswer, A503WithTheCorsOfAnAllowedOriginOnly) {
  struct Row {
    std::string received;
    bool cors;
    const char* why;
  };
  const Row rows[] = {
      {"GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:47631\r\nOrigin: https://caja.erp.example\r\n\r\n", true,
       "allowed origin"},
      {"POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1:47631\r\nOrigin: https://erp.example\r\n"
       "Content-Length: 100\r\n\r\n{\"partial",
       true, "the body is never waited for"},
      {"GET /v1/ping HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n", false, "another origin"},
      {"GET /v1/ping HTTP/1.1\r\nOrigin: https://erp.example\r\n", false, "a head cut short"},
      {"\x16\x03\x01 not http\r\n\r\n", false, "not HTTP"},
      {"GET / HTTP/1.1\r\nOrigin: https://erp.example\r\nX: " + std::string(NO_AGENT_HEAD_BYTES, 'x') +
           "\r\n\r\n",
       false, "a head over the bound"},
  };
  for (const auto& row : rows) {
    const std::string answer = no_agent_http_answer(row.received, DOMAIN);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << row.why << '\n' << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\n" + BODY)) << row.why << '\n' << answer;
    EXPECT_TRUE(has(answer, "Connection: close\r\n")) << row.why;
    EXPECT_EQ(has(answer, "Access-Control-Allow-Origin: https://"), row.cors) << row.why << '\n' << answer;
  }
}

TEST(NoAgentAnswer, AnAllowedPreflightPassesSoThatThePageSeesThe503) {
  const std::string preflight =
      "OPTIONS /v1/print HTTP/1.1\r\nOrigin: https://erp.example\r\n"
      "Access-Control-Request-Method: POST\r\n\r\n";
  const std::string answer = no_agent_http_answer(preflight, DOMAIN);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 204 No Content\r\n")) << answer;
  EXPECT_TRUE(has(answer, "Access-Control-Allow-Origin: https://erp.example\r\n")) << answer;
  const std::string refused =
      no_agent_http_answer("OPTIONS /v1/print HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n", DOMAIN);
  EXPECT_TRUE(refused.starts_with("HTTP/1.1 503 ")) << refused;
}

TEST(NoAgentAnswer, TheHeadIsReadUntilItsEndOrTheBound) {
  EXPECT_FALSE(no_agent_head_read("GET / HTTP/1.1\r\nHost: h\r\n"));
  EXPECT_TRUE(no_agent_head_read("GET / HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_TRUE(no_agent_head_read(std::string(NO_AGENT_HEAD_BYTES, 'x')));
  EXPECT_TRUE(no_agent_http_answer("HEAD /v1/ping HTTP/1.1\r\n\r\n", DOMAIN).ends_with("\r\n\r\n"))
      << "a HEAD request's answer has no body";
}

}  // namespace
}  // namespace zunel
