#include "main/report.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(Report, TimesAreWrittenAsUtcCalendarText) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "1970-01-01 00:00:00 UTC"},
      {951782400, "2000-02-29 00:00:00 UTC"},
      {1772373909, "2026-03-01 14:05:09 UTC"},
      {253402300799u, "9999-12-31 23:59:59 UTC"},
      {253402300800u, "253402300800 s desde 1970"},
      {18446744073709551615u, "18446744073709551615 s desde 1970"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(utc_time_text(seconds), text);
}

TEST(Report, DevicesJournalAndUnknownsAreSaidInWords) {
  ReportFacts facts;
  facts.devices = std::vector<ReportDevice>{
      {"d-1", "Caja «1»", "https://app.erp.example", "auto", 1772373909, std::nullopt},
      {"d-2", "", "https://b.erp.example", "code", std::nullopt, 253402300799u}};
  facts.printers = {"ninguna"};
  std::string text = support_report(facts);
  EXPECT_NE(text.find("Dispositivos vinculados:\n"
                      "  - d-1 «Caja «1»» https://app.erp.example, origen: auto, creado: 2026-03-01 "
                      "14:05:09 UTC, vence: nunca\n"
                      "  - d-2 «» https://b.erp.example, origen: code, creado: ?, vence: 9999-12-31 "
                      "23:59:59 UTC\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Últimas entradas del diario: no disponibles"), std::string::npos) << text;

  facts.devices.reset();
  facts.journal = std::vector<std::string>{"{\"event\":\"stopped\"}"};
  text = support_report(facts);
  EXPECT_NE(text.find("Dispositivos vinculados: desconocidos (el agente de este usuario no respondió)\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Últimas entradas del diario:\n  {\"event\":\"stopped\"}\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace zunel
