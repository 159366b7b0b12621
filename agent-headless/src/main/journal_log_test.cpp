#include "main/journal_log.h"

#include <gtest/gtest.h>

#include "base/journal.h"
#include "control/control_protocol.h"
#include "main/run.h"
#include "server/journal_events.h"

namespace zunel {
namespace {

std::string utc(std::uint64_t secs) { return iso_utc(secs); }

TEST(JournalLog, TellsEachEventOnALine) {
  const std::vector<std::string> lines = {
      R"({"t":"2026-12-08T12:30:00Z","event":"agent_start","version":"1.0.1","build":"2026-12-08.78f8fe6c1a2b",)"
      R"("pid":42,"http_port":47631,"control_port":47632})",
      R"({"t":"2026-12-08T12:31:05Z","event":"print","job_id":"T-9","device":"d1","label":"Caja 1",)"
      R"("origin":"https://erp.example","target":{"kind":"network","host":"10.0.0.9","port":9100},)"
      R"("byte_count":3,"sha256":"00","accepted":"2026-12-08T12:31:04Z","started":"2026-12-08T12:31:04Z",)"
      R"("ended":"2026-12-08T12:31:05Z","status":502,"answer":{"error":"Connection refused"},"wait_ms":12,"send_ms":1520})",
      R"({"t":"2026-12-08T12:32:00Z","event":"refused","status":401,"reason":"clock","origin":"https://erp.example","path":"/v1/print","repeats":0})",
      R"({"t":"2026-12-08T12:33:00Z","event":"control","command":"revoke","device":"d2","ok":true})",
      R"({"t":"2026-12-08T12:34:00Z","event":"print","label":"Caja 1","target":{"kind":"winspool","printer":"P"},)"
      R"("status":200,"answer":{"ok":true},"send_ms":18446744073709551615})",
      R"({"t":"2026-12-08T12:35:00Z","event":"print","label":"Caja 1","target":{"kind":"winspool","printer":"P"},)"
      R"("status":200,"answer":{"ok":true,"confirmed":"printed"},"send_ms":-1})",
      R"({"t":"2026-12-08T12:36:00Z","event":"print_repeat","job_id":"T-9","label":"Caja 1","status":409,"state":"interrupted"})",
      R"({"t":"2026-12-08T12:37:00Z","event":"printer_status","device":"d1","target":{"kind":"network","host":"10.0.0.9",)"
      R"("port":9100},"status":200,"answer":{"online":false,"paper":"near_end","error":"head_open"}})",
      R"({"t":"2026-12-08T12:38:00Z","event":"printer_status","device":"d1","target":{"kind":"network","host":"10.0.0.9",)"
      R"("port":9100},"status":200,"answer":{"online":true,"paper":"out","error":null}})",
      R"({"torn":)",
  };
  EXPECT_EQ(render_journal(lines, utc),
            "2026-12-08T12:30:00Z  agente iniciado  |  versión 1.0.1 (compilación 2026-12-08.78f8fe6c1a2b), proceso 42, "
            "puertos 47631 y 47632\n"
            "2026-12-08T12:31:05Z  impresión  |  Caja 1  |  red 10.0.0.9:9100  |  error 502: Connection refused "
            "(trabajo T-9)  |  1,5 s\n"
            "2026-12-08T12:32:00Z  rechazo  |  https://erp.example  |  401 (clock) en /v1/print\n"
            "2026-12-08T12:33:00Z  orden de control  |  revoke d2: hecho\n"
            "2026-12-08T12:34:00Z  impresión  |  Caja 1  |  cola P  |  entregado a la impresora, sin confirmar\n"
            "2026-12-08T12:35:00Z  impresión  |  Caja 1  |  cola P  |  impreso\n"
            "2026-12-08T12:36:00Z  repetición  |  Caja 1  |  trabajo T-9 ya conocido (interrumpido), respondido 409 "
            "sin imprimir\n"
            "2026-12-08T12:37:00Z  estado de impresora  |  d1  |  red 10.0.0.9:9100  |  en línea: no, papel: por "
            "acabarse, falla: cabezal abierto\n"
            "2026-12-08T12:38:00Z  estado de impresora  |  d1  |  red 10.0.0.9:9100  |  en línea: sí, papel: sin papel");
  EXPECT_EQ(render_journal({}, utc), "El diario está vacío.");
}

TEST(JournalLog, EveryEventTheAgentWritesIsToldInWords) {
  const std::pair<std::string_view, const char*> events[] = {
      {AGENT_START_EVENT, "agente iniciado"},
      {AGENT_STOP_EVENT, "agente detenido"},
      {journal_events::PRINT_START, "impresión empezada"},
      {journal_events::PRINT, "impresión"},
      {journal_events::PRINT_REPEAT, "repetición"},
      {journal_events::PRINT_INTERRUPTED, "impresión interrumpida"},
      {journal_events::PRINTER_STATUS, "estado de impresora"},
      {journal_events::PAIRING, "emparejamiento"},
      {journal_events::REVOCATIONS, "lista de revocación"},
      {journal_events::REFUSED, "rechazo"},
      {CONTROL_EVENT, "orden de control"},
      {JOURNAL_DROPPED_EVENT, "diario"},
  };
  for (const auto& [event, told] : events) {
    const std::string line = "{\"t\":\"2026-12-08T12:00:00Z\",\"event\":\"" + std::string(event) + "\"}";
    EXPECT_EQ(render_journal({line}, utc).substr(0, 22 + std::string(told).size()),
              "2026-12-08T12:00:00Z  " + std::string(told))
        << event;
  }
}

}  // namespace
}  // namespace zunel
