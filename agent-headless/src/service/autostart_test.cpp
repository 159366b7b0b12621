#include "service/autostart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace zunel {
namespace {

namespace fs = std::filesystem;

// An OS error code that this platform classifies as `kind` (errno values on
// POSIX, Win32 codes on Windows), so the tests run unchanged on both.
std::int32_t code_for(FailureKind kind) {
  for (std::int32_t c = 1; c < 2000; ++c) {
    if (failure_kind_for_os_code(c) == kind) return c;
  }
  ADD_FAILURE() << "no code for kind " << static_cast<int>(kind);
  return 0;
}

SystemError coded(FailureKind kind) {
  return SystemError{"texto del sistema", code_for(kind), kind == FailureKind::MissingFile};
}
SystemError uncoded() { return SystemError{"texto del sistema", std::nullopt, false}; }
SystemError not_found() { return SystemError{"no existe", code_for(FailureKind::MissingFile), true}; }

const fs::path kExe = "/opt/zunel/bin/zunel-print-agent";
const fs::path kOldExe = "/opt/zunel-1.0.0/ZUNEL-PRINT-AGENT";
const fs::path kEntry = "/home/ana/.config/autostart/ZunelPrintAgent.desktop";

// Every platform piece in one recording fake: each call is logged in order,
// so one comparison checks the whole sequence of an operation. Entries exist
// only when put into `entries`; any call can be made to fail.
class FakeWorld final : public FileSystem,
                        public StartupEntry,
                        public Processes,
                        public AgentProbe,
                        public PortBinder,
                        public Sleeper,
                        public RunningAgent {
 public:
  std::vector<std::string> log;
  std::map<fs::path, EntryInfo> entries{{kExe, {EntryType::File, 1234}}};
  std::map<fs::path, fs::path> absolute_forms;  // paths whose absolute form differs
  std::map<std::string, SystemError> failures;  // "call:path" -> error
  bool entry_path_fails = false;
  bool own_executable_fails = false;
  std::vector<bool> probe_answers;  // one per probe; missing answers are no
  BindOutcome bind = BindOutcome::Bound;
  // The agent that answers, if any does: by default this executable's.
  AgentIdentity running{AgentOwner::ThisUser, "1.0.1", kExe.string(), {}, "B2"};
  std::optional<std::string> stop_fails;
  // The process the system shows on the HTTP port: by default this user's agent.
  std::optional<ListeningProcess> listener = ListeningProcess{4321, true, kOldExe};
  std::optional<SystemError> end_fails;

  AutostartPlatform platform() { return {*this, *this, *this, *this, *this, *this, *this}; }

  Outcome<void, SystemError> create_directories(const fs::path& dir) override {
    return record("mkdirs:" + dir.generic_string());
  }
  Outcome<EntryInfo, SystemError> metadata(const fs::path& p, bool follow) override {
    const std::string call = (follow ? "stat:" : "lstat:") + p.generic_string();
    if (auto f = failure(call)) return *f;
    log.push_back(call);
    const auto it = entries.find(p);
    if (it == entries.end()) return not_found();
    return it->second;
  }
  Outcome<fs::path, SystemError> absolute(const fs::path& p) override {
    const std::string call = "absolute:" + p.generic_string();
    if (auto f = failure(call)) return *f;
    log.push_back(call);
    const auto it = absolute_forms.find(p);
    return it == absolute_forms.end() ? p : it->second;
  }
  Outcome<void, SystemError> remove_entry(const fs::path& p) override {
    return remove("unlink:", p);
  }
  Outcome<void, SystemError> remove_tree(const fs::path& p) override {
    return remove("rmtree:", p);
  }

  Outcome<fs::path> entry_path() override {
    log.push_back("entry_path");
    if (entry_path_fails) return fail("no se pudo resolver %APPDATA%");
    return kEntry;
  }
  Outcome<void, SystemError> write_entry(const fs::path& entry, const fs::path& exe,
                                         std::uint64_t size) override {
    return record("write:" + entry.generic_string() + "<-" + exe.generic_string() + ":" +
                  std::to_string(size));
  }

  Outcome<std::string, SystemError> read_target(const fs::path& entry) override {
    log.push_back("read:" + entry.generic_string());
    return std::string("\"") + kExe.string() + "\" run";
  }

  AgentIdentity identify() override {
    log.push_back("identify");
    return running;
  }
  Status stop() override {
    log.push_back("stop");
    if (stop_fails) return fail(*stop_fails);
    return {};
  }

  Outcome<fs::path, SystemError> own_executable() override {
    log.push_back("own_executable");
    if (own_executable_fails) return SystemError{"sin /proc", std::nullopt, false};
    return kExe;
  }
  Outcome<void, SystemError> start_agent(const fs::path& exe) override {
    return record("start:" + exe.generic_string());
  }
  void remove_legacy_task() override { log.push_back("legacy_task"); }
  Outcome<std::optional<ListeningProcess>, SystemError> listening_process(std::uint16_t port) override {
    log.push_back("listener:" + std::to_string(port));
    return listener;
  }
  Outcome<void, SystemError> end_process(const ListeningProcess& p, std::chrono::milliseconds wait) override {
    log.push_back("end:" + std::to_string(p.pid) + ":" + std::to_string(wait.count()));
    if (end_fails) return *end_fails;
    return {};
  }

  bool agent_answers(std::uint16_t port) override {
    log.push_back("probe:" + std::to_string(port));
    const bool yes = probes_ < probe_answers.size() && probe_answers[probes_];
    ++probes_;
    return yes;
  }
  BindOutcome try_bind_loopback(std::uint16_t port) override {
    log.push_back("bind:" + std::to_string(port));
    return bind;
  }
  void sleep_for(std::chrono::milliseconds pause) override {
    log.push_back("sleep:" + std::to_string(pause.count()));
  }

 private:
  std::optional<SystemError> failure(const std::string& call) {
    const auto it = failures.find(call);
    if (it == failures.end()) return std::nullopt;
    log.push_back(call + "!");
    return it->second;
  }
  Outcome<void, SystemError> record(const std::string& call) {
    if (auto f = failure(call)) return *f;
    log.push_back(call);
    return {};
  }
  Outcome<void, SystemError> remove(const std::string& verb, const fs::path& p) {
    const std::string call = verb + p.generic_string();
    if (auto f = failure(call)) return *f;
    log.push_back(call);
    entries.erase(p);
    return {};
  }
  std::size_t probes_ = 0;
};

using Log = std::vector<std::string>;

const Log kInstallPrefix = {"own_executable",
                            "legacy_task",
                            "entry_path",
                            "mkdirs:/home/ana/.config/autostart",
                            "stat:/opt/zunel/bin/zunel-print-agent",
                            "absolute:/opt/zunel/bin/zunel-print-agent",
                            "write:/home/ana/.config/autostart/ZunelPrintAgent.desktop<-/opt/zunel/bin/zunel-print-agent:1234",
                            "probe:47631"};

Log concat(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Install, AgentAlreadyAnsweringIsNotStartedAgain) {
  FakeWorld world;
  world.probe_answers = {true};
  const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), "Instalado y corriendo ✓ (el agente ya estaba activo).");
  EXPECT_EQ(world.log, concat(kInstallPrefix, {"identify"}));
}

TEST(Install, ThisUsersAgentOfAnotherVersionOrFileIsStoppedAndReplaced) {
  const struct {
    const char* name;
    std::string version;
    std::string executable;
    std::string build;
    std::string text;
  } cases[] = {
      {"older version", "1.0.0", kExe.string(), "B1",
       "Instalado y corriendo ✓ (reemplazó la versión 1.0.0, compilación B1, por la compilación B2)"},
      {"same version, another file", "1.0.1", "/opt/zunel-old/zunel-print-agent", "B2",
       "Instalado y corriendo ✓ (reemplazó la versión 1.0.1, compilación B2, por la compilación B2)"},
      {"same version and file, another build", "1.0.1", kExe.string(), "B1",
       "Instalado y corriendo ✓ (reemplazó la versión 1.0.1, compilación B1, por la compilación B2)"},
      {"a build that names neither its file nor itself", "1.0.1", "", "",
       "Instalado y corriendo ✓ (reemplazó la versión 1.0.1, compilación sin nombre, por la compilación B2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorld world;
    world.probe_answers = {true, true};
    world.running = {AgentOwner::ThisUser, c.version, c.executable, {}, c.build};
    const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), c.text);
    EXPECT_EQ(world.log, concat(kInstallPrefix, {"identify", "stop", "start:/opt/zunel/bin/zunel-print-agent",
                                                 "probe:47631"}));
  }
}

TEST(Install, AnAgentThatIsNotThisUsersIsNeverStopped) {
  FakeWorld world;
  world.probe_answers = {true};
  world.running = {AgentOwner::OtherUser, {}, {}, "rechaza el token"};
  auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FailureKind::OtherUsersAgent);
  EXPECT_EQ(result.error().detail, "rechaza el token");
  EXPECT_EQ(world.log, concat(kInstallPrefix, {"identify"}));

  // One whose control channel cannot be asked is left alone unless the
  // system shows it as this user's agent of another file.
  const struct {
    std::optional<ListeningProcess> listener;
    std::string text;
  } cases[] = {
      {ListeningProcess{4321, true, kExe}, "Instalado y corriendo ✓ (el agente ya estaba activo)."},
      {ListeningProcess{4321, false, kOldExe}, "Instalado y corriendo ✓ (el agente ya estaba activo)."},
      {std::nullopt, "Instalado y corriendo ✓ (el agente ya estaba activo)."},
      {ListeningProcess{4321, true, kOldExe},
       "Instalado y corriendo ✓ (reemplazó el agente de /opt/zunel-1.0.0/ZUNEL-PRINT-AGENT, por la compilación B2)"},
  };
  for (const AgentOwner owner : {AgentOwner::Unknown, AgentOwner::Nobody}) {
    for (const auto& c : cases) {
      FakeWorld unknown;
      unknown.probe_answers = {true, false, true};
      unknown.running = {owner, {}, {}, "canal de control: sin respuesta"};
      unknown.listener = c.listener;
      result = install_autostart(unknown.platform(), {"2.0.0", "B2"});
      ASSERT_TRUE(result.ok());
      EXPECT_EQ(result.value(), c.text);
      const bool ended = std::find(unknown.log.begin(), unknown.log.end(), "end:4321:6000") != unknown.log.end();
      EXPECT_EQ(ended, c.text.find("reemplazó") != std::string::npos);
    }
  }
}

// A build older than `stop` refuses it (and a stuck one does not end): its
// process is ended instead, but only when it is this user's agent.
TEST(Install, AnAgentThatDoesNotStopIsEndedByItsProcessOnlyWhenItIsThisUsersAgent) {
  const std::string refused = "detener el agente en ejecución (versión 1.0.0): cmd desconocido: stop; ";
  const std::string to_do =
      "Terminá el proceso 4321 (/opt/zunel-1.0.0/ZUNEL-PRINT-AGENT) o cerrá la sesión y volvé a "
      "entrar; después ejecutá de nuevo 'zunel-print-agent install'.";
  const struct {
    const char* name;
    std::optional<ListeningProcess> listener;
    std::optional<SystemError> end_fails;
    std::vector<bool> port_answers;  // the probes between the end and the start
    std::string detail;              // empty: replaced
    Log tail;                        // the log after "stop"
  } cases[] = {
      {"this user's agent", ListeningProcess{4321, true, kOldExe}, std::nullopt, {true, false}, "",
       {"listener:47631", "end:4321:6000", "probe:47631", "sleep:200", "probe:47631",
        "start:/opt/zunel/bin/zunel-print-agent", "probe:47631"}},
      {"it ended by itself", std::nullopt, std::nullopt, {}, "",
       {"listener:47631", "start:/opt/zunel/bin/zunel-print-agent", "probe:47631"}},
      {"another user's process", ListeningProcess{4321, false, {}}, std::nullopt, {},
       refused + "el proceso que escucha en 127.0.0.1:47631 no es de este usuario (o de esta sesión), y "
                 "no se termina. Cerrá la otra sesión de ese usuario, o reiniciá el equipo.",
       {"listener:47631"}},
      {"not this product", ListeningProcess{4321, true, "/usr/bin/socat"}, std::nullopt, {},
       refused + "el proceso 4321 (/usr/bin/socat) que escucha en 127.0.0.1:47631 no es el agente, y no "
                 "se termina. Terminá el proceso 4321 (/usr/bin/socat) o cerrá la sesión y volvé a entrar; "
                 "después ejecutá de nuevo 'zunel-print-agent install'.",
       {"listener:47631"}},
      {"it cannot be ended", ListeningProcess{4321, true, kOldExe}, SystemError{"acceso denegado", 5, false}, {},
       refused + "terminar el proceso 4321: acceso denegado. " + to_do, {"listener:47631", "end:4321:6000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorld world;
    world.probe_answers = {true};
    world.probe_answers.insert(world.probe_answers.end(), c.port_answers.begin(), c.port_answers.end());
    world.probe_answers.push_back(true);  // the started agent
    world.running.version = "1.0.0";
    world.stop_fails = "cmd desconocido: stop";
    world.listener = c.listener;
    world.end_fails = c.end_fails;
    const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
    if (c.detail.empty()) {
      ASSERT_TRUE(result.ok());
      EXPECT_EQ(result.value(),
                "Instalado y corriendo ✓ (reemplazó la versión 1.0.0, compilación B2, por la compilación B2)");
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, FailureKind::AlreadyRunning);
      EXPECT_EQ(result.error().detail, c.detail);
    }
    EXPECT_EQ(world.log, concat(concat(kInstallPrefix, {"identify", "stop"}), c.tail));
  }
}

TEST(Install, StartsTheAgentThenProbesUntilItAnswers) {
  FakeWorld world;
  world.probe_answers = {false, false, false, true};
  const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), "Instalado y corriendo ✓");
  EXPECT_EQ(world.log, concat(kInstallPrefix, {"start:/opt/zunel/bin/zunel-print-agent",
                                               "probe:47631", "sleep:500", "probe:47631",
                                               "sleep:500", "probe:47631"}));
}

TEST(Install, NoAnswerAfterFiveProbesIsDiagnosedByBindingThePort) {
  const std::pair<BindOutcome, FailureKind> cases[] = {
      {BindOutcome::Bound, FailureKind::NoAgentResponse},
      {BindOutcome::AddressInUse, FailureKind::PortInUse},
      {BindOutcome::Refused, FailureKind::LocalConnectionBlocked},
  };
  for (const auto& [bind, kind] : cases) {
    FakeWorld world;
    world.bind = bind;
    const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, kind);
    EXPECT_EQ(result.error().detail,
              "sin respuesta como agente en http://127.0.0.1:47631/v1/ping tras 5 intentos");
    EXPECT_EQ(world.log,
              concat(kInstallPrefix,
                     {"start:/opt/zunel/bin/zunel-print-agent", "probe:47631", "sleep:500",
                      "probe:47631", "sleep:500", "probe:47631", "sleep:500", "probe:47631",
                      "sleep:500", "probe:47631", "bind:47631"}));
  }
}

TEST(Install, EachFailingStepStopsThereWithItsKindAndDetail) {
  const std::string exe = kExe.generic_string();
  struct Case {
    const char* name;
    void (*setup)(FakeWorld&);
    FailureKind kind;
    std::int32_t code;
    std::string detail;
    std::string last_call;
  } cases[] = {
      {"executable path", [](FakeWorld& w) { w.own_executable_fails = true; },
       FailureKind::Generic, -1, "no se pudo resolver la ruta del ejecutable: sin /proc",
       "own_executable"},
      {"startup folder unknown", [](FakeWorld& w) { w.entry_path_fails = true; },
       FailureKind::Generic, -1, "no se pudo resolver %APPDATA%", "entry_path"},
      {"startup folder, access denied",
       [](FakeWorld& w) { w.failures["mkdirs:/home/ana/.config/autostart"] = coded(FailureKind::WriteBlocked); },
       FailureKind::WriteBlocked, code_for(FailureKind::WriteBlocked), "preparar la carpeta Startup: texto del sistema",
       "mkdirs:/home/ana/.config/autostart!"},
      {"startup folder, other code",
       [](FakeWorld& w) { w.failures["mkdirs:/home/ana/.config/autostart"] = SystemError{"texto del sistema", 987654, false}; },
       FailureKind::StartupFolderFailed, 987654, "preparar la carpeta Startup: texto del sistema",
       "mkdirs:/home/ana/.config/autostart!"},
      {"startup folder, no code",
       [](FakeWorld& w) { w.failures["mkdirs:/home/ana/.config/autostart"] = uncoded(); },
       FailureKind::StartupFolderFailed, -1, "preparar la carpeta Startup: texto del sistema",
       "mkdirs:/home/ana/.config/autostart!"},
      {"executable vanished", [](FakeWorld& w) { w.entries.clear(); }, FailureKind::MissingFile, code_for(FailureKind::MissingFile),
       "preparar el acceso directo (target " + exe + "): no existe", "stat:" + exe},
      {"executable not resolvable",
       [](FakeWorld& w) { w.failures["absolute:" + kExe.generic_string()] = coded(FailureKind::WriteBlocked); },
       FailureKind::MissingFile, code_for(FailureKind::WriteBlocked),
       "preparar el acceso directo (target " + exe + "): texto del sistema",
       "absolute:" + exe + "!"},
      {"entry not writable",
       [](FakeWorld& w) {
         w.failures["write:" + kEntry.generic_string() + "<-" + kExe.generic_string() + ":1234"] =
             coded(FailureKind::WriteBlocked);
       },
       FailureKind::StartupFolderFailed, code_for(FailureKind::WriteBlocked), "crear el acceso directo en Startup: texto del sistema",
       "write:" + kEntry.generic_string() + "<-" + exe + ":1234!"},
      {"start, access denied",
       [](FakeWorld& w) { w.failures["start:" + kExe.generic_string()] = coded(FailureKind::WriteBlocked); },
       FailureKind::WriteBlocked, code_for(FailureKind::WriteBlocked), "lanzar el agente: texto del sistema", "start:" + exe + "!"},
      {"start, busy",
       [](FakeWorld& w) { w.failures["start:" + kExe.generic_string()] = coded(FailureKind::AlreadyRunning); },
       FailureKind::AlreadyRunning, code_for(FailureKind::AlreadyRunning), "lanzar el agente: texto del sistema", "start:" + exe + "!"},
      {"start, no code",
       [](FakeWorld& w) { w.failures["start:" + kExe.generic_string()] = uncoded(); },
       FailureKind::Unexpected, -1, "lanzar el agente: texto del sistema", "start:" + exe + "!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorld world;
    c.setup(world);
    const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().detail, c.detail);
    EXPECT_EQ(result.error().code, c.code);
    ASSERT_FALSE(world.log.empty());
    EXPECT_EQ(world.log.back(), c.last_call);
  }
}

TEST(Install, UnexpectedStartFailureShowsMinusOneAndExitsWithTwenty) {
  FakeWorld world;
  world.failures["start:" + kExe.generic_string()] = uncoded();
  const auto result = install_autostart(world.platform(), {"1.0.1", "B2"});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(install_exit_code(result.error().kind), 20);
  EXPECT_NE(render_install_error(result.error()).find("(código del sistema -1)"), std::string::npos);
}

TEST(Uninstall, RemovesAnExistingEntryThenTheLegacyTask) {
  const std::string e = kEntry.generic_string();
  struct Case {
    const char* name;
    bool entry_exists;
    std::optional<SystemError> stat_error;
    std::optional<SystemError> remove_error;
    bool ok;
    Log log;
  } cases[] = {
      {"no entry", false, std::nullopt, std::nullopt, true, {"entry_path", "lstat:" + e, "legacy_task"}},
      {"entry", true, std::nullopt, std::nullopt, true,
       {"entry_path", "lstat:" + e, "unlink:" + e, "legacy_task"}},
      {"entry not removable", true, std::nullopt, coded(FailureKind::WriteBlocked), false,
       {"entry_path", "lstat:" + e, "unlink:" + e + "!"}},
      // Unreadable metadata does not prove the entry absent: removal is tried.
      {"metadata unreadable", true, coded(FailureKind::WriteBlocked), std::nullopt, true,
       {"entry_path", "lstat:" + e + "!", "unlink:" + e, "legacy_task"}},
      {"metadata unreadable, not removable", true, coded(FailureKind::WriteBlocked),
       coded(FailureKind::WriteBlocked), false,
       {"entry_path", "lstat:" + e + "!", "unlink:" + e + "!"}},
      {"vanished meanwhile", true, std::nullopt, not_found(), true,
       {"entry_path", "lstat:" + e, "unlink:" + e + "!", "legacy_task"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorld world;
    if (c.entry_exists) world.entries[kEntry] = {EntryType::File, 300};
    if (c.stat_error) world.failures["lstat:" + e] = *c.stat_error;
    if (c.remove_error) world.failures["unlink:" + e] = *c.remove_error;
    const Status result = uninstall_autostart(world.platform());
    EXPECT_EQ(result.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(result.error(), "no se pudo borrar el acceso directo de Startup: texto del sistema");
    }
    EXPECT_EQ(world.log, c.log);
  }
}

TEST(Uninstall, UnknownStartupFolderFails) {
  FakeWorld world;
  world.entry_path_fails = true;
  const Status result = uninstall_autostart(world.platform());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "no se pudo resolver %APPDATA%");
  EXPECT_EQ(world.log, Log{"entry_path"});
}

TEST(Status, FourStatesFromEntryAndOneProbe) {
  struct Case {
    bool entry_path_ok;
    bool entry_exists;
    bool answers;
    const char* text;
  } cases[] = {
      {true, true, true, "instalado (Startup) y corriendo ✓"},
      {true, true, false, "instalado (Startup) pero no está corriendo"},
      {true, false, true, "corriendo, pero SIN auto-inicio (no hay acceso directo en Startup)"},
      {true, false, false, "no instalado"},
      {false, false, true, "corriendo, pero SIN auto-inicio (no hay acceso directo en Startup)"},
      {false, false, false, "no instalado"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FakeWorld world;
    world.entry_path_fails = !c.entry_path_ok;
    if (c.entry_exists) world.entries[kEntry] = {EntryType::File, 300};
    world.probe_answers = {c.answers};
    EXPECT_EQ(autostart_status(world.platform()), c.text);
    EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "probe:47631"), 1);
    // Another user's agent says so, whether this user has the entry or not.
    world.probe_answers = {c.answers, c.answers};  // the second probe's answer
    world.running.owner = AgentOwner::OtherUser;
    world.log.clear();
    const std::string other = autostart_status(world.platform());
    EXPECT_EQ(other, c.answers ? STATUS_OTHER_USERS_AGENT : c.text);
  }
}

TEST(Cleanup, ListsWhatWasRemovedAndLeavesTheOwnFolder) {
  const fs::path old_dir = "/opt/zunel-old";
  const fs::path link = "/home/ana/agent-link";
  struct Case {
    const char* name;
    void (*setup)(FakeWorld&);
    std::optional<fs::path> folder;
    std::string text;
    std::vector<std::string> removals;  // the unlink/rmtree calls, in order
  } cases[] = {
      {"nothing there", [](FakeWorld&) {}, std::nullopt,
       "Limpieza previa OK: tarea programada legacy.", {}},
      {"entry only", [](FakeWorld& w) { w.entries[kEntry] = {EntryType::File, 3}; }, std::nullopt,
       "Limpieza previa OK: acceso directo de Startup, tarea programada legacy.",
       {"unlink:" + kEntry.generic_string()}},
      {"entry and old folder",
       [](FakeWorld& w) {
         w.entries[kEntry] = {EntryType::File, 3};
         w.entries["/opt/zunel-old"] = {EntryType::Directory, 0};
       },
       old_dir,
       "Limpieza previa OK: acceso directo de Startup, tarea programada legacy, carpeta de "
       "instalación previa.",
       {"unlink:" + kEntry.generic_string(), "rmtree:/opt/zunel-old"}},
      {"missing folder", [](FakeWorld&) {}, old_dir,
       "Limpieza previa OK: tarea programada legacy.", {}},
      {"link to a folder is removed alone",
       [](FakeWorld& w) { w.entries["/home/ana/agent-link"] = {EntryType::Link, 0}; }, link,
       "Limpieza previa OK: tarea programada legacy, carpeta de instalación previa.",
       {"unlink:/home/ana/agent-link"}},
      {"own folder kept",
       [](FakeWorld& w) { w.entries["/opt/zunel/bin"] = {EntryType::Directory, 0}; },
       fs::path("/opt/zunel/bin"), "Limpieza previa OK: tarea programada legacy.", {}},
      {"own folder with trailing separator kept",
       [](FakeWorld& w) { w.entries["/opt/zunel/bin/"] = {EntryType::Directory, 0}; },
       fs::path("/opt/zunel/bin/"), "Limpieza previa OK: tarea programada legacy.", {}},
      {"own folder by another name kept",
       [](FakeWorld& w) {
         w.entries["bin"] = {EntryType::Directory, 0};
         w.absolute_forms["bin"] = "/opt/zunel/bin";
       },
       fs::path("bin"), "Limpieza previa OK: tarea programada legacy.", {}},
      {"folder holding the own folder kept",
       [](FakeWorld& w) { w.entries["/opt/zunel"] = {EntryType::Directory, 0}; },
       fs::path("/opt/zunel"), "Limpieza previa OK: tarea programada legacy.", {}},
      {"file system root kept",
       [](FakeWorld& w) {
         w.own_executable_fails = true;
         w.entries["/"] = {EntryType::Directory, 0};
       },
       fs::path("/"), "Limpieza previa OK: tarea programada legacy.", {}},
      {"sibling with a common prefix removed",
       [](FakeWorld& w) { w.entries["/opt/zunel/bi"] = {EntryType::Directory, 0}; },
       fs::path("/opt/zunel/bi"),
       "Limpieza previa OK: tarea programada legacy, carpeta de instalación previa.",
       {"rmtree:/opt/zunel/bi"}},
      {"folder inside the own folder removed",
       [](FakeWorld& w) { w.entries["/opt/zunel/bin/old"] = {EntryType::Directory, 0}; },
       fs::path("/opt/zunel/bin/old"),
       "Limpieza previa OK: tarea programada legacy, carpeta de instalación previa.",
       {"rmtree:/opt/zunel/bin/old"}},
      {"own folder unknown: folder removed without comparison",
       [](FakeWorld& w) {
         w.own_executable_fails = true;
         w.entries["/opt/zunel/bin"] = {EntryType::Directory, 0};
       },
       fs::path("/opt/zunel/bin"),
       "Limpieza previa OK: tarea programada legacy, carpeta de instalación previa.",
       {"rmtree:/opt/zunel/bin"}},
      {"vanished while removing",
       [](FakeWorld& w) {
         w.entries["/opt/zunel-old"] = {EntryType::Directory, 0};
         w.failures["rmtree:/opt/zunel-old"] = not_found();
       },
       old_dir, "Limpieza previa OK: tarea programada legacy.", {"rmtree:/opt/zunel-old!"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorld world;
    c.setup(world);
    const auto result = cleanup_previous_installs(world.platform(), c.folder);
    ASSERT_TRUE(result.ok()) << result.error().detail;
    EXPECT_EQ(result.value(), c.text);
    std::vector<std::string> removals;
    for (const auto& call : world.log) {
      if (call.rfind("unlink:", 0) == 0 || call.rfind("rmtree:", 0) == 0) removals.push_back(call);
    }
    EXPECT_EQ(removals, c.removals);
    EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "legacy_task"), 1);
  }
}

TEST(Cleanup, InspectionAndRemovalFailuresUseTheGeneralRule) {
  struct Case {
    const char* failing_call;
    SystemError error;
    FailureKind kind;
    std::string detail;
  } cases[] = {
      {"lstat:/opt/zunel-old", coded(FailureKind::WriteBlocked), FailureKind::WriteBlocked,
       "inspeccionar /opt/zunel-old: texto del sistema"},
      {"lstat:/opt/zunel-old", uncoded(), FailureKind::Unexpected,
       "inspeccionar /opt/zunel-old: texto del sistema"},
      {"rmtree:/opt/zunel-old", coded(FailureKind::AlreadyRunning), FailureKind::AlreadyRunning,
       "borrar /opt/zunel-old: texto del sistema"},
      {"rmtree:/opt/zunel-old", SystemError{"texto del sistema", 987654, false},
       FailureKind::Unexpected, "borrar /opt/zunel-old: texto del sistema"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing_call);
    FakeWorld world;
    world.entries["/opt/zunel-old"] = {EntryType::Directory, 0};
    world.failures[c.failing_call] = c.error;
    const auto result = cleanup_previous_installs(world.platform(), fs::path("/opt/zunel-old"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().detail, c.detail);
  }
}

TEST(Cleanup, FailingEntryRemovalStopsBeforeTheLegacyTask) {
  FakeWorld world;
  world.entries[kEntry] = {EntryType::File, 3};
  world.failures["unlink:" + kEntry.generic_string()] = coded(FailureKind::WriteBlocked);
  const auto result = cleanup_previous_installs(world.platform(), std::nullopt);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FailureKind::WriteBlocked);
  EXPECT_EQ(result.error().detail, "borrar " + kEntry.generic_string() + ": texto del sistema");
  EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "legacy_task"), 0);
}

}  // namespace
}  // namespace zunel
