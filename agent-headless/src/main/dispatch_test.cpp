#include "main/dispatch.h"

#include <gtest/gtest.h>

#include <sstream>

namespace zunel {
namespace {

// Records which operation ran, with its argument, and returns chosen results.
struct Recorder {
  std::vector<std::string> calls;
  Outcome<std::string, ExplainedFailure> install_result{"Instalado y corriendo ✓"};
  Status uninstall_result;
  bool output_is_file = false;

  Commands commands() {
    Commands c;
    c.build = "2026-12-10.78f8fe6c1a2b";
    c.output_is_file = [this] { return output_is_file; };
    c.run = [this] { calls.push_back("run"); return 0; };
    c.pair = [this] { calls.push_back("pair"); return 0; };
    c.list = [this] { calls.push_back("list"); return 0; };
    c.revoke = [this](const std::string& id) { calls.push_back("revoke:" + id); return 0; };
    c.install = [this] { calls.push_back("install"); return install_result; };
    c.cleanup = [this](const std::optional<std::string>& folder) {
      calls.push_back("cleanup:" + folder.value_or("<none>"));
      return install_result;
    };
    c.uninstall = [this] { calls.push_back("uninstall"); return uninstall_result; };
    c.log = [this](std::size_t count, bool json) {
      calls.push_back("log:" + std::to_string(count) + (json ? ":json" : ""));
      return std::string("diario ✓");
    };
    c.status = [this] {
      calls.push_back("status");
      return std::string("instalado (Startup) y corriendo ✓");
    };
    c.stop = [this] { calls.push_back("stop"); return 0; };
    c.router = [this] { calls.push_back("router"); return 0; };
    c.report = [this] {
      calls.push_back("report");
      return std::string("Versión: 1.0.1\n");
    };
    return c;
  }
};

struct Result {
  int code;
  std::string out, err;
};

Result run(Recorder& rec, std::vector<std::string> args) {
  std::ostringstream out, err;
  const int code = dispatch(args, rec.commands(), out, err);
  return {code, out.str(), err.str()};
}

const std::string USAGE_ASCII =
    "zunel-print-agent 1.0.1\n"
    "\n"
    "USO:\n"
    "  zunel-print-agent [run|pair|list|revoke <id>|log [N] [--json]|install|uninstall|status|stop|report|version]\n"
    "\n"
    "  run           Arranca el agente en segundo plano (servidor + control). Bloqueante.\n"
    "  pair          Muestra un codigo de emparejamiento para vincular el ERP.\n"
    "  list          Lista los dispositivos vinculados y el estado del agente.\n"
    "  revoke <id>   Desvincula un dispositivo.\n"
    "  log [N]       Muestra las ultimas N entradas del diario (50 si no se indica); --json las da tal\n"
    "                como estan guardadas.\n"
    "  install       Crea el auto-inicio en Startup del usuario, arranca el agente y verifica que "
    "responde.\n"
    "  uninstall     Quita el auto-inicio.\n"
    "  status        Estado del auto-inicio.\n"
    "  stop          Detiene el agente de este usuario (lo que se esta imprimiendo termina).\n"
    "  report        Informe para soporte, sin secretos, para pegar en un ticket.\n"
    "  version       Version.\n";

TEST(Dispatch, EachCommandReachesItsOperation) {
  struct Case {
    std::vector<std::string> args;
    std::string call;
  } cases[] = {
      {{}, "run"},
      {{"run"}, "run"},
      {{"run", "extra"}, "run"},
      {{"pair"}, "pair"},
      {{"list"}, "list"},
      {{"info"}, "list"},
      {{"revoke", "dev-1"}, "revoke:dev-1"},
      {{"revoke", "dev-1", "ignored"}, "revoke:dev-1"},
      {{"log"}, "log:50"},
      {{"log", "7"}, "log:7"},
      {{"log", "--json"}, "log:50:json"},
      {{"log", "3", "--json"}, "log:3:json"},
      {{"install"}, "install"},
      {{"cleanup"}, "cleanup:<none>"},
      {{"cleanup", "C:\\old"}, "cleanup:C:\\old"},
      {{"router"}, "router"},
      {{"uninstall"}, "uninstall"},
      {{"status"}, "status"},
      {{"stop"}, "stop"},
      {{"report"}, "report"},
  };
  for (const auto& c : cases) {
    Recorder rec;
    const Result r = run(rec, c.args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(rec.calls, std::vector<std::string>{c.call}) << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST(Dispatch, VersionAndHelp) {
  for (const char* v : {"version", "-v", "--version"}) {
    Recorder rec;
    const Result r = run(rec, {v});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "zunel-print-agent 1.0.1\ncompilación 2026-12-10.78f8fe6c1a2b\n");
    EXPECT_EQ(r.err, "");
  }
  for (const char* h : {"help", "-h", "--help"}) {
    Recorder rec;
    const Result r = run(rec, {h});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, USAGE_ASCII);
  }
}

TEST(Dispatch, UnknownCommandsAreCaseSensitiveAndKeepTheArgumentAsTyped) {
  for (const char* arg : {"List", "RUN", "-V", "", "versión", "--help=x"}) {
    Recorder rec;
    const Result r = run(rec, {arg});
    EXPECT_EQ(r.code, 2) << arg;
    EXPECT_EQ(r.err, std::string("comando desconocido: ") + arg + "\n\n" + USAGE_ASCII);
    EXPECT_TRUE(rec.calls.empty());
  }
}

TEST(Dispatch, RevokeWithoutIdIsAUsageErrorAndRunsNothing) {
  Recorder rec;
  const Result r = run(rec, {"revoke"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "uso: zunel-print-agent revoke <id>\n");
  EXPECT_TRUE(rec.calls.empty());
}

TEST(Dispatch, LogIsToldTransliteratedAndItsStoredLinesAsTheyAre) {
  Recorder rec;
  EXPECT_EQ(run(rec, {"log"}).out, "diario OK\n");
  EXPECT_EQ(run(rec, {"log", "--json"}).out, "diario ✓\n");
  for (const char* bad : {"0", "-1", "x", "1234567"}) {
    Recorder refused;
    const Result r = run(refused, {"log", bad});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_EQ(r.err, "uso: zunel-print-agent log [N] [--json]\n");
    EXPECT_TRUE(refused.calls.empty());
  }
}

TEST(Dispatch, InstallAndCleanupResultsAreTransliteratedWithTheirExitCodes) {
  Recorder rec;
  Result r = run(rec, {"install"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Instalado y corriendo OK\n");
  EXPECT_EQ(r.err, "");

  rec.install_result = ExplainedFailure{"Falló — D4", 14};
  r = run(rec, {"install"});
  EXPECT_EQ(r.code, 14);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Fallo - D4\n");

  rec.install_result = ExplainedFailure{"sin explicación", 1};
  r = run(rec, {"cleanup", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "sin explicacion\n");
}

TEST(Dispatch, UninstallAndStatus) {
  Recorder rec;
  Result r = run(rec, {"uninstall"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Auto-inicio desinstalado.\n");

  rec.uninstall_result = fail("no se pudo borrar el acceso directo: Acceso denegado");
  r = run(rec, {"uninstall"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "no se pudo borrar el acceso directo: Acceso denegado\n");

  r = run(rec, {"status"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "instalado (Startup) y corriendo OK\n");

  // The report is pasted as it is, accents and all; a file gets a
  // byte-order mark first, and only the report's file.
  r = run(rec, {"report"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Versión: 1.0.1\n");
  rec.output_is_file = true;
  r = run(rec, {"report"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "\xEF\xBB\xBFVersión: 1.0.1\n");
  EXPECT_EQ(run(rec, {"status"}).out, "instalado (Startup) y corriendo OK\n");
}

}  // namespace
}  // namespace zunel
