#include "main/dispatch.h"

#include "base/constants.h"
#include "main/journal_log.h"
#include "main/transliterate.h"

namespace zunel {
namespace {

void write_usage(std::ostream& err, std::string_view version) {
  err << transliterate_for_console(usage_text(version)) << '\n';
  err.flush();
}

int report(const Outcome<std::string, ExplainedFailure>& result, std::ostream& out,
           std::ostream& err) {
  std::ostream& stream = result.ok() ? out : err;
  stream << transliterate_for_console(result.ok() ? result.value() : result.error().text) << '\n';
  stream.flush();
  return result.ok() ? 0 : result.error().exit_code;
}

// `log`, `log N`, `log --json`, `log --json N`, `log N --json`.
int log_command(const std::vector<std::string>& args, const Commands& commands, std::ostream& out,
                std::ostream& err) {
  std::size_t count = LOG_DEFAULT_ENTRIES;
  bool json = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      json = true;
      continue;
    }
    const bool digits = !arg.empty() && arg.size() <= 6 &&
                        arg.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(arg) == 0) {
      err << "uso: zunel-print-agent log [N] [--json]\n";
      err.flush();
      return 2;
    }
    count = std::stoul(arg);
  }
  const std::string text = commands.log(count, json);
  // The stored lines are for programs: as they are. The told ones for a person's console.
  out << (json ? text : transliterate_for_console(text));
  if (!text.empty()) out << '\n';
  out.flush();
  return 0;
}

}  // namespace

std::string usage_text(std::string_view version) {
  std::string text;
  text += "zunel-print-agent ";
  text += version;
  text +=
      "\n"
      "\n"
      "USO:\n"
      "  zunel-print-agent [run|pair|list|revoke <id>|log [N] [--json]|install|uninstall|status|stop|report|version]\n"
      "\n"
      "  run           Arranca el agente en segundo plano (servidor + control). Bloqueante.\n"
      "  pair          Muestra un código de emparejamiento para vincular el ERP.\n"
      "  list          Lista los dispositivos vinculados y el estado del agente.\n"
      "  revoke <id>   Desvincula un dispositivo.\n"
      "  log [N]       Muestra las últimas N entradas del diario (50 si no se indica); --json las da tal\n"
      "                como están guardadas.\n"
      "  install       Crea el auto-inicio en Startup del usuario, arranca el agente y verifica "
      "que responde.\n"
      "  uninstall     Quita el auto-inicio.\n"
      "  status        Estado del auto-inicio.\n"
      "  stop          Detiene el agente de este usuario (lo que se está imprimiendo termina).\n"
      "  report        Informe para soporte, sin secretos, para pegar en un ticket.\n"
      "  version       Versión.";
  return text;
}

int dispatch(const std::vector<std::string>& args, const Commands& commands, std::ostream& out,
             std::ostream& err) {
  const std::string command = args.empty() ? "run" : args[0];
  const auto arg = [&](std::size_t i) -> std::optional<std::string> {
    if (args.size() > i) return args[i];
    return std::nullopt;
  };

  if (command == "run") return commands.run();
  if (command == "pair") return commands.pair();
  if (command == "list" || command == "info") return commands.list();
  if (command == "revoke") {
    const auto id = arg(1);
    if (!id) {
      err << "uso: zunel-print-agent revoke <id>\n";
      err.flush();
      return 2;
    }
    return commands.revoke(*id);
  }
  if (command == "log") return log_command(args, commands, out, err);
  if (command == "install") return report(commands.install(), out, err);
  if (command == "cleanup") return report(commands.cleanup(arg(1)), out, err);
  if (command == "router" && commands.router) return commands.router();
  if (command == "uninstall") {
    const Status removed = commands.uninstall();
    if (!removed.ok()) return report(ExplainedFailure{removed.error(), 1}, out, err);
    return report(std::string("Auto-inicio desinstalado."), out, err);
  }
  if (command == "status") {
    out << transliterate_for_console(commands.status()) << '\n';
    out.flush();
    return 0;
  }
  if (command == "stop") return commands.stop();
  if (command == "report") {
    if (commands.output_is_file()) out << "\xEF\xBB\xBF";
    out << commands.report();
    out.flush();
    return 0;
  }
  if (command == "version" || command == "-v" || command == "--version") {
    out << COMMAND_NAME << ' ' << commands.version << '\n' << "compilación " << commands.build << '\n';
    out.flush();
    return 0;
  }
  if (command == "help" || command == "-h" || command == "--help") {
    write_usage(err, commands.version);
    return 0;
  }
  err << "comando desconocido: " << command << "\n\n";
  write_usage(err, commands.version);
  return 2;
}

}  // namespace zunel
