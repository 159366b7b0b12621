#include "service/autostart.h"

#include <vector>

#include "base/constants.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

constexpr int START_ATTEMPTS = 5;
constexpr std::chrono::milliseconds START_PAUSE(500);
// Ending an agent whose control channel cannot stop it: the time it gets to
// end, then how long its port may still answer.
constexpr std::chrono::milliseconds END_WAIT(6000);
constexpr int PORT_FREE_ATTEMPTS = 10;
constexpr std::chrono::milliseconds PORT_FREE_PAUSE(200);

std::string path_text(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

InstallError os_failure(const std::string& what, const SystemError& e, FailureKind default_kind) {
  const auto classified = classify_os_error(e, default_kind);
  return InstallError{what + e.text, classified.kind, classified.code};
}

InstallError fixed_failure(const std::string& what, const SystemError& e, FailureKind kind) {
  return InstallError{what + e.text, kind, e.code.value_or(NO_OS_ERROR_CODE)};
}

// Removes a file, a link or a directory tree without following links.
// Yields whether something was removed.
Outcome<bool, InstallError> remove_entry(FileSystem& files, const fs::path& path) {
  const auto info = files.metadata(path, /*follow_links=*/false);
  if (!info.ok()) {
    if (info.error().not_found) return false;
    return os_failure("inspeccionar " + path_text(path) + ": ", info.error(), FailureKind::Unexpected);
  }
  const auto removed = info.value().type == EntryType::Directory ? files.remove_tree(path)
                                                                 : files.remove_entry(path);
  if (!removed.ok()) {
    if (removed.error().not_found) return false;
    return os_failure("borrar " + path_text(path) + ": ", removed.error(), FailureKind::Unexpected);
  }
  return true;
}

// The path without a trailing separator, so "C:\a\" and "C:\a" compare equal.
fs::path without_trailing_separator(fs::path p) {
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

bool is_root(const fs::path& p) {
  const fs::path n = without_trailing_separator(p);
  return n.has_root_directory() && !n.has_relative_path();
}

// Whether `ancestor` is `path` or one of its parents, component by component.
bool is_same_or_ancestor(const fs::path& ancestor, const fs::path& path) {
  const fs::path a = without_trailing_separator(ancestor);
  const fs::path p = without_trailing_separator(path);
  auto pi = p.begin();
  for (auto ai = a.begin(); ai != a.end(); ++ai, ++pi) {
    if (pi == p.end() || *ai != *pi) return false;
  }
  return true;
}

// An agent that already answers ping: left running when it is this
// executable's, replaced when it is this user's of another version or file.
struct RunningAgentSettled {
  bool keep = false;
  std::string replaced;  // what was replaced, for the text: "la versión 1.0.0"
};

std::string what_to_do(const ListeningProcess& process) {
  return "Terminá el proceso " + std::to_string(process.pid) + " (" + path_text(process.executable) +
         ") o cerrá la sesión y volvé a entrar; después ejecutá de nuevo 'zunel-print-agent install'.";
}

// Ends the process that holds the agent's port when it is this user's and
// an executable of this product (never anything else), then waits until the
// port no longer answers as the agent.
Status end_listening_agent(const AutostartPlatform& platform) {
  const auto found = platform.processes.listening_process(HTTP_PORT);
  if (!found.ok()) {
    return fail("buscar el proceso que escucha en 127.0.0.1:" + std::to_string(HTTP_PORT) + ": " +
                found.error().text + ". Cerrá la sesión y volvé a entrar; después ejecutá de nuevo "
                "'zunel-print-agent install'.");
  }
  if (!found.value()) return {};  // it ended meanwhile
  const ListeningProcess& process = *found.value();
  if (process.pid == 0) {
    return fail("no se pudo saber qué proceso escucha en 127.0.0.1:" + std::to_string(HTTP_PORT) +
                ". Terminá el agente anterior (" + std::string(COMMAND_NAME) +
                ") o cerrá la sesión y volvé a entrar; después ejecutá de nuevo 'zunel-print-agent install'.");
  }
  if (!process.this_user) {
    return fail("el proceso que escucha en 127.0.0.1:" + std::to_string(HTTP_PORT) +
                " no es de este usuario (o de esta sesión), y no se termina. Cerrá la otra sesión "
                "de ese usuario, o reiniciá el equipo.");
  }
  if (!is_product_executable(process.executable)) {
    return fail("el proceso " + std::to_string(process.pid) + " (" + path_text(process.executable) +
                ") que escucha en 127.0.0.1:" + std::to_string(HTTP_PORT) +
                " no es el agente, y no se termina. " + what_to_do(process));
  }
  if (const auto ended = platform.processes.end_process(process, END_WAIT); !ended.ok()) {
    return fail("terminar el proceso " + std::to_string(process.pid) + ": " + ended.error().text + ". " +
                what_to_do(process));
  }
  for (int attempt = 0; attempt < PORT_FREE_ATTEMPTS; ++attempt) {
    if (!platform.probe.agent_answers(HTTP_PORT)) return {};
    platform.sleeper.sleep_for(PORT_FREE_PAUSE);
  }
  return fail("el puerto " + std::to_string(HTTP_PORT) + " sigue respondiendo tras terminar el proceso " +
              std::to_string(process.pid) + ". " + what_to_do(process));
}

// Fails when the agent is another user's, or cannot be ended.
Outcome<RunningAgentSettled, InstallError> settle_running_agent(const AutostartPlatform& platform, OwnBuild own,
                                                                const fs::path& own_file) {
  const AgentIdentity running = platform.agent.identify();
  if (running.owner == AgentOwner::OtherUser) {
    return InstallError{running.detail, FailureKind::OtherUsersAgent, NO_OS_ERROR_CODE};
  }
  if (running.owner != AgentOwner::ThisUser) {
    // Its control channel cannot be asked: it is replaced only when it is
    // this user's agent of another file, as the system shows the listener.
    const auto found = platform.processes.listening_process(HTTP_PORT);
    const bool other_file = found.ok() && found.value() && found.value()->this_user &&
                            is_product_executable(found.value()->executable) &&
                            found.value()->executable != own_file;
    if (!other_file) return RunningAgentSettled{true, {}};
    if (Status ended = end_listening_agent(platform); !ended) {
      return InstallError{"detener el agente en ejecución: " + ended.error(), FailureKind::AlreadyRunning,
                          NO_OS_ERROR_CODE};
    }
    return RunningAgentSettled{false, "el agente de " + path_text(found.value()->executable)};
  }
  // One that does not name its file is an older build.
  const auto& file = running.executable;
  // A build that does not name itself is older than this one's naming.
  const bool same = running.version == own.version && running.build == own.build && !file.empty() &&
                    fs::path(std::u8string(file.begin(), file.end())) == own_file;
  if (same) return RunningAgentSettled{true, {}};
  // Builds older than `stop` refuse it: their process is ended instead, as
  // is one that accepted but did not end.
  if (Status stopped = platform.agent.stop(); !stopped) {
    if (Status ended = end_listening_agent(platform); !ended) {
      return InstallError{"detener el agente en ejecución (versión " + running.version + "): " +
                              stopped.error() + "; " + ended.error(),
                          FailureKind::AlreadyRunning, NO_OS_ERROR_CODE};
    }
  }
  return RunningAgentSettled{false, "la versión " + running.version + ", compilación " +
                                        (running.build.empty() ? std::string("sin nombre") : running.build)};
}

fs::path absolute_or_unchanged(FileSystem& files, const fs::path& p) {
  auto resolved = files.absolute(p);
  return resolved.ok() ? std::move(resolved).value() : p;
}

}  // namespace

Outcome<std::string, InstallError> install_autostart(const AutostartPlatform& platform, OwnBuild own) {
  auto exe = platform.processes.own_executable();
  if (!exe.ok()) {
    return InstallError{"no se pudo resolver la ruta del ejecutable: " + exe.error().text,
                        FailureKind::Generic, NO_OS_ERROR_CODE};
  }
  platform.processes.remove_legacy_task();

  auto entry = platform.startup.entry_path();
  if (!entry.ok()) return InstallError{entry.error(), FailureKind::Generic, NO_OS_ERROR_CODE};

  const auto folder = platform.files.create_directories(entry.value().parent_path());
  if (!folder.ok()) {
    return os_failure("preparar la carpeta Startup: ", folder.error(),
                      FailureKind::StartupFolderFailed);
  }

  const std::string target_failure = "preparar el acceso directo (target " + path_text(exe.value()) + "): ";
  const auto exe_info = platform.files.metadata(exe.value(), /*follow_links=*/true);
  if (!exe_info.ok()) return fixed_failure(target_failure, exe_info.error(), FailureKind::MissingFile);
  const auto exe_absolute = platform.files.absolute(exe.value());
  if (!exe_absolute.ok()) {
    return fixed_failure(target_failure, exe_absolute.error(), FailureKind::MissingFile);
  }

  const auto written =
      platform.startup.write_entry(entry.value(), exe_absolute.value(), exe_info.value().size);
  if (!written.ok()) {
    return fixed_failure("crear el acceso directo en Startup: ", written.error(),
                         FailureKind::StartupFolderFailed);
  }

  std::string replaced;  // the version of the agent this one replaces
  if (platform.probe.agent_answers(HTTP_PORT)) {
    auto settled = settle_running_agent(platform, own, exe_absolute.value());
    if (!settled.ok()) return settled.error();
    if (settled.value().keep) {
      return std::string("Instalado y corriendo ✓ (el agente ya estaba activo).");
    }
    replaced = settled.value().replaced;
  }

  const auto started = platform.processes.start_agent(exe.value());
  if (!started.ok()) return os_failure("lanzar el agente: ", started.error(), FailureKind::Unexpected);

  if (wait_for_agent(platform.probe, platform.sleeper, HTTP_PORT, START_ATTEMPTS, START_PAUSE)) {
    if (replaced.empty()) return std::string("Instalado y corriendo ✓");
    return "Instalado y corriendo ✓ (reemplazó " + replaced + ", por la compilación " + std::string(own.build) + ")";
  }
  return InstallError{"sin respuesta como agente en http://127.0.0.1:" + std::to_string(HTTP_PORT) +
                          "/v1/ping tras " + std::to_string(START_ATTEMPTS) + " intentos",
                      diagnose_port(platform.binder, HTTP_PORT), NO_OS_ERROR_CODE};
}

Outcome<std::string, InstallError> cleanup_previous_installs(
    const AutostartPlatform& platform, const std::optional<fs::path>& folder) {
  std::vector<std::string> removed;

  auto entry = platform.startup.entry_path();
  if (entry.ok()) {
    const auto result = remove_entry(platform.files, entry.value());
    if (!result.ok()) return result.error();
    if (result.value()) removed.push_back("acceso directo de Startup");
  }

  platform.processes.remove_legacy_task();
  removed.push_back("tarea programada legacy");

  if (folder) {
    const fs::path given = absolute_or_unchanged(platform.files, *folder);
    // A whole drive or file system is never an installation folder, whatever
    // the caller passed in.
    bool keep = is_root(given);
    const auto exe = platform.processes.own_executable();
    if (exe.ok()) {
      // The running installation is kept: its own folder and any folder holding it.
      const fs::path exe_dir = absolute_or_unchanged(platform.files, exe.value()).parent_path();
      keep = keep || is_same_or_ancestor(given, exe_dir);
    }
    if (!keep) {
      const auto result = remove_entry(platform.files, *folder);
      if (!result.ok()) return result.error();
      if (result.value()) removed.push_back("carpeta de instalación previa");
    }
  }

  std::string text = "Limpieza previa OK: ";
  for (std::size_t i = 0; i < removed.size(); ++i) {
    if (i > 0) text += ", ";
    text += removed[i];
  }
  return text + ".";
}

Status uninstall_autostart(const AutostartPlatform& platform) {
  auto entry = platform.startup.entry_path();
  if (!entry.ok()) return fail(entry.error());
  // Only an entry that is certainly absent is skipped: one whose metadata
  // cannot be read for another reason may still start the agent at logon,
  // so removing it is tried and its failure reported.
  const auto info = platform.files.metadata(entry.value(), /*follow_links=*/false);
  if (info.ok() || !info.error().not_found) {
    const auto removed = platform.files.remove_entry(entry.value());
    if (!removed.ok() && !removed.error().not_found) {
      return fail("no se pudo borrar el acceso directo de Startup: " + removed.error().text);
    }
  }
  platform.processes.remove_legacy_task();
  return {};
}

std::string autostart_status(const AutostartPlatform& platform) {
  auto entry = platform.startup.entry_path();
  const bool present = entry.ok() && platform.files.metadata(entry.value(), true).ok();
  const bool running = platform.probe.agent_answers(HTTP_PORT);
  if (running && platform.agent.identify().owner == AgentOwner::OtherUser) {
    return STATUS_OTHER_USERS_AGENT;
  }
  if (present && running) return "instalado (Startup) y corriendo ✓";
  if (present) return "instalado (Startup) pero no está corriendo";
  if (running) return "corriendo, pero SIN auto-inicio (no hay acceso directo en Startup)";
  return "no instalado";
}

}  // namespace zunel
