#include "main/report.h"

#include <boost/json.hpp>
#include <chrono>
#include <algorithm>
#include <filesystem>

#include "base/build_config.h"
#include "base/clock.h"
#include "base/constants.h"
#include "base/json_members.h"
#include "base/private_files.h"
#include "base/utf8.h"
#include "control/control_agent.h"
#include "base/append_file.h"
#include "base/journal.h"
#include "base/journal_file.h"
#include "main/data_dir.h"
#include "main/journal_log.h"
#include "server/jobs/job_ledger.h"
#include "server/jobs/job_store.h"
#include "main/local_files.h"
#include "printing/print_platform.h"
#include "printing/printing.h"
#include "security/keyset.h"
#include "service/agent_probe.h"
#include "service/autostart_platform.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

// What the job store holds, as the agent would read it when it starts.
std::string job_store_summary(const fs::path& state_dir) {
  const std::size_t bound = JobLedgerLimits{}.read_bytes;
  const auto tail = system_append_files().read_tail(state_dir / JOB_STORE_FILE, bound);
  if (!tail) return "no se puede leer (" + tail.error() + ")";
  if (tail->size == 0) return "vacío";
  const JobStoreReading reading = read_job_store(tail->text, tail->size <= bound);
  if (reading.unknown_format) return "de otro formato (de otra versión del agente)";
  std::string summary = std::to_string(reading.jobs.size()) + " trabajos con job_id";
  // The agent rewrites the store when it starts; a damaged one was kept aside.
  const auto damaged = system_append_files().read_tail(state_dir / JOB_STORE_DAMAGED_FILE, bound);
  if (damaged && damaged->size > 0) {
    summary += "; " + std::to_string(read_job_store(damaged->text, damaged->size <= bound).unreadable) +
               " líneas ilegibles halladas al iniciar (en " + std::string(JOB_STORE_DAMAGED_FILE) + ")";
  }
  return summary;
}

// The journal's last `count` entries, told as `log` tells them, one line each.
std::vector<std::string> journal_entries(const fs::path& data_dir, std::size_t count) {
  const std::vector<std::string> tail = read_journal_tail(state_dir_of(data_dir), count);
  std::vector<std::string> told;
  if (tail.empty()) return told;
  const std::string text = render_journal(tail, system_local_time_with_offset);
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    told.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return told;
}

// The "Authenticode:" line of the release's BUILD-INFO.txt beside the
// executable.
std::string signature_from_build_info(const fs::path& exe_dir) {
  const auto text = read_whole_file(exe_dir / "BUILD-INFO.txt");
  if (!text || !is_valid_utf8(*text)) {
    return "desconocida (no hay BUILD-INFO.txt junto al ejecutable)";
  }
  constexpr std::string_view KEY = "Authenticode:";
  std::string_view rest(*text);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    if (line.starts_with(KEY)) return std::string(trim_unicode_space(line.substr(KEY.size())));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return "desconocida (BUILD-INFO.txt no dice si está firmado)";
}

std::vector<ReportDevice> devices_of(const json::value& info) {
  std::vector<ReportDevice> devices;
  const json::value* list = json_member(info, "devices");
  if (!list || !list->is_array()) return devices;
  for (const json::value& d : list->get_array()) {
    const auto text = [&](const char* key) {
      return std::string(json_text_member(d, key).value_or(""));
    };
    const auto number = [&](const char* key) -> std::optional<std::uint64_t> {
      const json::value* v = json_member(d, key);
      return v ? json_unsigned(*v) : std::nullopt;
    };
    devices.push_back({text("id"), text("label"), text("origin"), text("source"), number("created"),
                       number("expira")});
  }
  return devices;
}

// Who answers on the two ports, from one ping and one "info".
void ports(ReportFacts& facts, const ControlLink& link, json::value& info) {
  const bool agent_on_http = system_agent_probe().agent_answers(HTTP_PORT);
  AgentIdentity identity;
  if (link.token) {
    identity = identify_agent(link, &info);
  } else {
    identity.owner = agent_on_http ? AgentOwner::OtherUser
                     : loopback_port_accepts(CONTROL_PORT) ? AgentOwner::Unknown
                                                           : AgentOwner::Nobody;
    identity.detail = "este usuario no tiene token de control";
  }
  switch (identity.owner) {
    case AgentOwner::ThisUser:
      facts.control_port = "el agente de este usuario (versión " + identity.version + ", compilación " +
                           (identity.build.empty() ? "no informada" : identity.build) + ", " +
                           (identity.executable.empty() ? "ejecutable no informado" : identity.executable) + ")";
      break;
    case AgentOwner::OtherUser:
      facts.control_port = "el agente de otro usuario de Windows (" + identity.detail + ")";
      break;
    case AgentOwner::Unknown:
      facts.control_port = "otro programa, o un agente que no responde como tal (" + identity.detail + ")";
      break;
    case AgentOwner::Nobody:
      facts.control_port = "nadie";
      break;
  }
  if (agent_on_http) {
    facts.http_port = identity.owner == AgentOwner::ThisUser    ? "el agente de este usuario"
                      : identity.owner == AgentOwner::OtherUser ? "el agente de otro usuario de Windows"
                                                                : "un agente (el canal de control no dice de quién)";
  } else {
    facts.http_port = loopback_port_accepts(HTTP_PORT) ? "otro programa (no responde como el agente)" : "nadie";
  }
}

}  // namespace

ReportFacts gather_report_facts(std::string_view version, const ControlLink& link) {
  ReportFacts facts;
  facts.version = std::string(version);
  facts.build = std::string(agent_build());
  facts.now = system_clock().now_secs();
  facts.erp_domain = std::string(erp_origin_domain());
  for (const TrustedKey& key : parse_keyset(builtin_keyset_json())) facts.key_ids.push_back(key.kid);

  auto exe = system_processes().own_executable();
  if (exe.ok()) {
    facts.executable = display_path(exe.value());
    facts.signature = signature_from_build_info(exe.value().parent_path());
  } else {
    facts.executable = "desconocido (" + exe.error().text + ")";
    facts.signature = "desconocida";
  }
  const fs::path data_dir = resolve_data_dir();
  facts.data_dir = display_path(data_dir);

  StartupEntry& startup = system_startup_entry();
  auto entry = startup.entry_path();
  if (!entry.ok()) {
    facts.autostart = "desconocido (" + entry.error() + ")";
    facts.autostart_target = "desconocido";
  } else if (!system_file_system().metadata(entry.value(), true).ok()) {
    facts.autostart = "no instalado (no existe " + display_path(entry.value()) + ")";
    facts.autostart_target = "ninguno";
  } else {
    facts.autostart = "instalado: " + display_path(entry.value());
    auto target = startup.read_target(entry.value());
    facts.autostart_target = target.ok() ? target.value() : "no se pudo leer (" + target.error().text + ")";
  }

  json::value info;
  ports(facts, link, info);
  if (!info.is_null()) facts.devices = devices_of(info);

  auto printers = list_printers(system_print_platform());
  if (!printers.ok()) {
    facts.printers.push_back("no se pudieron listar: " + printers.error());
  } else if (printers.value().empty()) {
    facts.printers.push_back("ninguna");
  } else {
    for (const PrinterInfo& p : printers.value()) {
      facts.printers.push_back(p.product.value_or("(sin nombre)") + (p.offline ? " (fuera de línea)" : ""));
    }
  }
  facts.journal = journal_entries(data_dir, REPORT_JOURNAL_ENTRIES);
  facts.job_store = job_store_summary(state_dir_of(data_dir));
  return facts;
}

std::string support_report(const ReportFacts& f) {
  std::string t = "Informe de zunel-print-agent para soporte (sin tokens ni otros secretos)\n\n";
  t += "Fecha del informe: " + f.time_text(f.now) + "\n";
  t += "Versión: " + f.version + "\n";
  t += "Compilación: " + f.build + "\n";
  t += "Ejecutable: " + f.executable + "\n";
  t += "Dominio del ERP: " + f.erp_domain + "\n";
  t += "Claves del ERP (kid):";
  if (f.key_ids.empty()) t += " ninguna";
  for (std::size_t i = 0; i < f.key_ids.size(); ++i) t += (i == 0 ? " " : ", ") + f.key_ids[i];
  t += "\nFirma Authenticode: " + f.signature + "\n";
  t += "Directorio de datos: " + f.data_dir + "\n";
  t += "Auto-inicio: " + f.autostart + "\n";
  t += "Destino del acceso directo: " + f.autostart_target + "\n";
  t += "Puerto " + std::to_string(HTTP_PORT) + " (HTTP): " + f.http_port + "\n";
  t += "Puerto " + std::to_string(CONTROL_PORT) + " (control): " + f.control_port + "\n";

  t += "\nDispositivos vinculados:";
  if (!f.devices) {
    t += " desconocidos (el agente de este usuario no respondió)\n";
  } else if (f.devices->empty()) {
    t += " ninguno\n";
  } else {
    t += "\n";
    for (const ReportDevice& d : *f.devices) {
      t += "  - " + d.id + " «" + d.label + "» " + d.origin + ", origen: " + d.source +
           ", creado: " + (d.created ? f.time_text(*d.created) : "?") +
           ", vence: " + (d.expira ? f.time_text(*d.expira) : "nunca") + "\n";
    }
  }
  t += "\nImpresoras:\n";
  for (const std::string& p : f.printers) t += "  - " + p + "\n";
  t += "\nAlmacén de trabajos (jobs.jsonl): " + f.job_store + "\n";
  t += "\nÚltimas entradas del diario:";
  if (!f.journal) {
    t += " no disponibles (este agente no lleva diario)\n";
  } else if (f.journal->empty()) {
    t += " ninguna\n";
  } else {
    t += "\n";
    for (const std::string& line : *f.journal) t += "  " + line + "\n";
  }
  return t;
}

}  // namespace zunel
