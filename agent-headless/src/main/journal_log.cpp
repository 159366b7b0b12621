#include "main/journal_log.h"

#include <charconv>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string_view>

#include "base/journal.h"
#include "control/control_protocol.h"
#include "main/run.h"
#include "server/journal_events.h"

namespace zunel {
namespace {

namespace json = boost::json;

// 9999-12-31 23:59:59 UTC: the last second the calendar texts are asked for.
constexpr std::uint64_t LAST_CALENDAR_SECOND = 253402300799u;

std::string text(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  if (v == nullptr || v->is_null()) return {};
  if (v->is_string()) return std::string(v->get_string());
  if (v->is_bool()) return v->get_bool() ? "sí" : "no";
  if (v->is_int64()) return std::to_string(v->get_int64());
  if (v->is_uint64()) return std::to_string(v->get_uint64());
  return {};
}

std::string target_text(const json::object& o) {
  const json::value* v = o.if_contains("target");
  const json::object* t = v ? v->if_object() : nullptr;
  if (t == nullptr) return {};
  const std::string kind = text(*t, "kind");
  if (kind == "network") return "red " + text(*t, "host") + ":" + text(*t, "port");
  if (kind == "serial") return "serie " + text(*t, "port") + " " + text(*t, "baud");
  if (kind == "winspool") return "cola " + text(*t, "printer");
  if (kind == "usb") return "usb " + text(*t, "vendor_id") + ":" + text(*t, "product_id");
  return kind;
}

std::string seconds_text(std::string_view ms) {
  long long value = 0;
  // A damaged or forged line may hold anything here.
  const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), value);
  if (ms.empty() || ec != std::errc() || end != ms.data() + ms.size() || value < 0) return {};
  std::ostringstream out;
  out << value / 1000 << ',' << (value % 1000) / 100 << " s";
  return out.str();
}

// What the printer said of a confirmed job, in Spanish.
std::string confirmed_text(std::string_view confirmed) {
  if (confirmed == "printed") return "impreso";
  if (confirmed == "processed") return "entregado a la impresora, que lo procesó";
  if (confirmed == "transmitted") return "entregado a la impresora por la cola";
  if (confirmed == "spooled") return "entregado a la cola, sin confirmar";
  return "entregado a la impresora, sin confirmar";
}

// A printer's paper and fault as its status names them, in Spanish.
std::string paper_text(std::string_view paper) {
  if (paper == "ok") return "bien";
  if (paper == "near_end") return "por acabarse";
  if (paper == "out") return "sin papel";
  if (paper == "unknown") return "desconocido";
  return std::string(paper);
}

std::string fault_text(std::string_view fault) {
  if (fault == "cutter") return "cortador";
  if (fault == "mechanical") return "mecánico";
  if (fault == "unrecoverable") return "irrecuperable";
  if (fault == "auto_recoverable") return "se recupera solo";
  if (fault == "head_open") return "cabezal abierto";
  if (fault == "ribbon_out") return "sin cinta";
  if (fault == "other") return "otro";
  return std::string(fault);
}

// A job's state as a repeat found it, in Spanish.
std::string state_text(std::string_view state) {
  if (state == "waiting") return "en espera";
  if (state == "running") return "imprimiéndose";
  if (state == "done") return "terminado";
  if (state == "interrupted") return "interrumpido";
  return std::string(state);
}

// 200 means the bytes were handed to the printer; "impreso" only when the
// printer itself said it printed them.
std::string answer_text(const json::object& o) {
  const std::string status = text(o, "status");
  const json::value* a = o.if_contains("answer");
  const json::object* answer = a ? a->if_object() : nullptr;
  const std::string error = answer ? text(*answer, "error") : std::string();
  if (status == "200") return confirmed_text(answer ? text(*answer, "confirmed") : std::string());
  return "error " + status + (error.empty() ? "" : ": " + error);
}

struct Told {
  std::string event;
  std::string who;
  std::string where;
  std::string outcome;
  std::string took;
};

Told tell(const json::object& o) {
  const std::string event = text(o, "event");
  Told t;
  t.event = event;
  t.who = text(o, "label").empty() ? text(o, "device") : text(o, "label");
  t.where = target_text(o);
  namespace ev = journal_events;
  if (event == AGENT_START_EVENT || event == AGENT_STOP_EVENT) {
    t.event = event == AGENT_START_EVENT ? "agente iniciado" : "agente detenido";
    t.outcome = "versión " + text(o, "version") +
                (text(o, "build").empty() ? "" : " (compilación " + text(o, "build") + ")") + ", proceso " +
                text(o, "pid") + ", puertos " + text(o, "http_port") + " y " + text(o, "control_port");
  } else if (event == ev::PRINT) {
    t.event = "impresión";
    t.outcome = answer_text(o);
    if (!text(o, "job_id").empty()) t.outcome += " (trabajo " + text(o, "job_id") + ")";
    t.took = text(o, "send_ms").empty() ? "no empezó, esperó " + seconds_text(text(o, "wait_ms"))
                                        : seconds_text(text(o, "send_ms"));
  } else if (event == ev::PRINT_START) {
    t.event = "impresión empezada";
    if (!text(o, "job_id").empty()) t.outcome = "trabajo " + text(o, "job_id");
  } else if (event == ev::PRINT_REPEAT) {
    t.event = "repetición";
    t.outcome = "trabajo " + text(o, "job_id") + " ya conocido (" + state_text(text(o, "state")) + "), respondido " +
                text(o, "status") + " sin imprimir";
  } else if (event == ev::PRINT_INTERRUPTED) {
    t.event = "impresión interrumpida";
    t.outcome = "trabajo " + text(o, "job_id") +
                (text(o, "when") == AGENT_STOP_EVENT ? " cortado al detenerse el agente"
                                                 : " cortado por un cierre inesperado (hallado al iniciar)") +
                ": puede haberse impreso";
  } else if (event == ev::PRINTER_STATUS) {
    t.event = "estado de impresora";
    const json::value* a = o.if_contains("answer");
    const json::object* answer = a ? a->if_object() : nullptr;
    if (answer != nullptr) {
      t.outcome = "en línea: " + (text(*answer, "online").empty() ? "?" : text(*answer, "online")) +
                  ", papel: " + paper_text(text(*answer, "paper")) +
                  (text(*answer, "error").empty() ? "" : ", falla: " + fault_text(text(*answer, "error")));
    } else {
      t.outcome = "respuesta " + text(o, "status");
    }
  } else if (event == ev::PAIRING) {
    t.event = "emparejamiento";
    t.outcome = "dispositivo " + text(o, "device") + " para " + text(o, "origin") +
                (text(o, "source") == "auto" ? " (aprovisionado)" : " (con código)");
  } else if (event == ev::REVOCATIONS) {
    std::string removed;
    if (const json::value* r = o.if_contains("removed"); r && r->is_array()) {
      for (const json::value& id : r->get_array()) {
        if (!id.is_string()) continue;
        removed += (removed.empty() ? "" : ", ") + std::string(id.get_string());
      }
    }
    t.event = "lista de revocación";
    t.outcome = "secuencia " + text(o, "seq") + ", quitados: " + (removed.empty() ? "ninguno" : removed);
  } else if (event == CONTROL_EVENT) {
    t.event = "orden de control";
    t.who.clear();  // the device is the command's object, told in the outcome
    t.outcome = text(o, "command") + (text(o, "device").empty() ? "" : " " + text(o, "device")) +
                (text(o, "ok") == "sí" ? ": hecho" : ": falló");
  } else if (event == ev::REFUSED) {
    t.event = "rechazo";
    t.who = text(o, "origin");
    t.outcome = text(o, "status") + " (" + text(o, "reason") + ") en " + text(o, "path");
    if (text(o, "repeats") != "0" && !text(o, "repeats").empty()) {
      t.outcome += "; " + text(o, "repeats") + " rechazos más sin anotar antes";
    }
  } else if (event == JOURNAL_DROPPED_EVENT) {
    t.event = "diario";
    t.outcome = text(o, "count") + " líneas perdidas";
  }
  return t;
}

}  // namespace

std::string time_at_offset(std::uint64_t secs, std::int32_t offset) {
  if (secs > LAST_CALENDAR_SECOND) return std::to_string(secs) + " s desde 1970";
  using namespace std::chrono;
  const sys_seconds time{seconds(static_cast<std::int64_t>(secs) + offset)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{time - day};
  const std::int32_t east = offset < 0 ? -offset : offset;
  char out[48];
  std::snprintf(out, sizeof out, "%04d-%02u-%02u %02d:%02d:%02d %c%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), offset < 0 ? '-' : '+', east / 3600, east % 3600 / 60);
  return out;
}

std::optional<std::int32_t> system_utc_offset(std::uint64_t secs) {
  if (secs > LAST_CALENDAR_SECOND) return std::nullopt;
  const auto time = static_cast<std::time_t>(secs);
  const std::tm* local = std::localtime(&time);  // the commands run on one thread
  if (local == nullptr) return std::nullopt;
  using namespace std::chrono;
  // The local calendar's reading, taken as if it were UTC's, less the moment.
  const sys_days day = year_month_day{year(local->tm_year + 1900), month(static_cast<unsigned>(local->tm_mon + 1)),
                                      std::chrono::day(static_cast<unsigned>(local->tm_mday))};
  const std::int64_t read = day.time_since_epoch() / seconds(1) + local->tm_hour * 3600 + local->tm_min * 60 +
                            std::min(local->tm_sec, 59);
  return static_cast<std::int32_t>(read - static_cast<std::int64_t>(secs));
}

std::string system_local_time(std::uint64_t secs) {
  const auto offset = system_utc_offset(secs);
  if (!offset) return iso_utc(secs);
  std::string text = time_at_offset(secs, *offset);
  return text.substr(0, text.rfind(' '));
}

std::string system_local_time_with_offset(std::uint64_t secs) {
  return time_at_offset(secs, system_utc_offset(secs).value_or(0));
}

std::string render_journal(const std::vector<std::string>& lines, const LocalTime& local_time) {
  if (lines.empty()) return "El diario está vacío.";
  std::string out;
  for (const std::string& line : lines) {
    json::error_code ec;
    const json::value value = json::parse(line, ec);
    const json::object* o = ec ? nullptr : value.if_object();
    if (o == nullptr) continue;
    std::uint64_t secs = 0;
    const std::string when = parse_iso_utc(text(*o, "t"), secs) ? local_time(secs) : text(*o, "t");
    const Told t = tell(*o);
    if (!out.empty()) out += '\n';
    out += when + "  " + t.event;
    for (const std::string* part : {&t.who, &t.where, &t.outcome, &t.took}) {
      if (!part->empty()) out += "  |  " + *part;
    }
  }
  return out;
}

}  // namespace zunel
