#include "main/report.h"

#include <gtest/gtest.h>

#include "main/journal_log.h"

namespace zunel {
namespace {

constexpr std::int32_t BUENOS_AIRES = -3 * 3600;

TEST(Report, TimesAreCalendarTextWithTheirOffsetFromUtc) {
  const struct {
    std::uint64_t seconds;
    std::int32_t offset;
    const char* text;
  } cases[] = {
      {0, 0, "1970-01-01 00:00:00 +00:00"},
      {0, BUENOS_AIRES, "1969-12-31 21:00:00 -03:00"},
      {951782400, 0, "2000-02-29 00:00:00 +00:00"},
      {951782400, BUENOS_AIRES, "2000-02-28 21:00:00 -03:00"},
      {1772373909, 0, "2026-03-01 14:05:09 +00:00"},
      {1772373909, 5 * 3600 + 45 * 60, "2026-03-01 19:50:09 +05:45"},
      {1772373909, -(9 * 3600 + 30 * 60), "2026-03-01 04:35:09 -09:30"},
      {253402300799u, 0, "9999-12-31 23:59:59 +00:00"},
      {253402300799u, 14 * 3600, "10000-01-01 13:59:59 +14:00"},
      {253402300800u, 0, "253402300800 s desde 1970"},
      {18446744073709551615u, BUENOS_AIRES, "18446744073709551615 s desde 1970"},
  };
  for (const auto& c : cases) EXPECT_EQ(time_at_offset(c.seconds, c.offset), c.text) << c.seconds;
}

TEST(Report, DevicesJournalAndUnknownsAreSaidInWords) {
  ReportFacts facts;
  facts.version = "1.0.1";
  facts.build = "2026-12-10.78f8fe6c1a2b";
  facts.now = 1796912871;
  facts.time_text = [](std::uint64_t secs) { return time_at_offset(secs, BUENOS_AIRES); };
  facts.devices = std::vector<ReportDevice>{
      {"d-1", "Caja «1»", "https://app.erp.example", "auto", 1772373909, std::nullopt},
      {"d-2", "", "https://b.erp.example", "code", std::nullopt, 253402300799u}};
  facts.printers = {"ninguna"};
  std::string text = support_report(facts);
  EXPECT_NE(text.find("\n\nFecha del informe: 2026-12-10 11:27:51 -03:00\n"
                      "Versión: 1.0.1\n"
                      "Compilación: 2026-12-10.78f8fe6c1a2b\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Dispositivos vinculados:\n"
                      "  - d-1 «Caja «1»» https://app.erp.example, origen: auto, creado: 2026-03-01 "
                      "11:05:09 -03:00, vence: nunca\n"
                      "  - d-2 «» https://b.erp.example, origen: code, creado: ?, vence: 9999-12-31 "
                      "20:59:59 -03:00\n"),
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
