#include "main/run.h"

#include <boost/asio/io_context.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>

#include "base/append_file.h"
#include "base/build_config.h"
#include "base/constants.h"
#include "base/journal.h"
#include "base/journal_file.h"
#include "base/loopback_listener.h"
#include "base/private_files.h"
#include "base/sha256.h"
#include "control/control_server.h"
#include "main/data_dir.h"
#include "main/local_files.h"
#include "main/process_setup.h"
#include "printing/print_platform.h"
#include "router/router_agent.h"
#include "router/router_place.h"
#include "security/pairing_store.h"
#include "server/api.h"
#include "server/http_server.h"
#include "service/autostart_platform.h"

namespace zunel {
namespace {

// What the agent needs before it takes its ports: the hash code and its
// private directories. What is missing is told on the error stream.
bool ready_to_start(const std::filesystem::path& state_dir) {
  // Every signed request is hashed: a platform without the hash code is
  // told now, not as an out-of-memory answer to the first request.
  if (Status hashing = hashing_available(); !hashing) {
    std::cerr << "[agente] " << hashing.error() << std::endl;
    return false;
  }
  if (Status made = create_private_dirs(state_dir); !made) {
    std::cerr << "No se pudo crear el directorio de datos " << display_path(state_dir) << ": " << made.error()
              << std::endl;
    return false;
  }
  return true;
}

// The agent's start or stop, as the journal tells it.
std::string agent_line(std::string_view event, std::string_view version) {
  boost::json::object members;
  members["version"] = version;
  members["build"] = agent_build();
  members["pid"] = current_process_id();
  members["http_port"] = HTTP_PORT;
  members["control_port"] = CONTROL_PORT;
  return journal_line(system_clock().now_secs(), event, members);
}

// This process's executable file, for the control channel's "info"; empty
// when the system does not say.
std::string own_executable_text() {
  auto exe = system_processes().own_executable();
  if (!exe.ok()) return {};
  const auto text = exe.value().u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

int run_agent(std::string_view version) {
  const auto data_dir = resolve_data_dir();
  const auto state_dir = state_dir_of(data_dir);
  if (!ready_to_start(state_dir)) return 1;

  // On a machine whose administrator installed the router, the ports are
  // the router's: the agent registers with it and serves what it hands
  // over. A router's socket that does not check out is not used.
  RouterRegistration router = register_with_router(version);
  if (router.state == RouterRegistration::State::already_registered) {
    // Another agent of this user already serves through the router: this
    // one leaves its token alone, as a second `run` does beside a listener.
    std::cerr << "[agente] no se pudo iniciar el servidor: " << router.why << std::endl;
    return 1;
  }
  if (router.state == RouterRegistration::State::refused) {
    std::cerr << "[agente] no se usa el router (" << display_path(router_socket_path()) << "): " << router.why
              << std::endl;
  }
  const bool via_router = router.state == RouterRegistration::State::registered;

  // Both ports are taken before the token is written: a second `run` while
  // an agent runs must leave that agent's token file alone.
  Outcome<std::unique_ptr<HttpServer>> http =
      via_router ? Outcome<std::unique_ptr<HttpServer>>(HttpServer::without_listener())
                 : HttpServer::bind(HTTP_PORT);
  // The control thread owns its io_context and listener for the life of the
  // process.
  auto control_io = std::make_unique<boost::asio::io_context>();
  Outcome<boost::asio::ip::tcp::acceptor> control = fail("");
  if (!via_router) {
    control = open_loopback_listener(*control_io, CONTROL_PORT);
    if (!control) {
      std::cerr << "[control] no se pudo abrir el puerto " << CONTROL_PORT << ": " << control.error()
                << std::endl;
    }
  }
  if (!http) {
    std::cerr << "[agente] no se pudo iniciar el servidor: " << http.error() << std::endl;
    return 1;
  }

  auto token = prepare_control_token(data_dir, system_random());
  if (!token) {
    std::cerr << "No se pudo preparar el token de control: " << token.error() << std::endl;
    return 1;
  }

  auto loaded = load_state(state_dir, std::string(version));
  if (!loaded) {
    // Only a failing random source (no agent id can be made) gets here.
    std::cerr << "[agente] no se pudo cargar el estado: " << loaded.error() << std::endl;
    return 1;
  }
  // Shared with the control thread, which outlives nothing but may outlive
  // this frame's other locals during process exit.
  std::shared_ptr<AgentState> state(std::move(*loaded));

  // The journal beside pairings.json; the job ids it remembers are known
  // again before the first request. Lives as long as the process: the
  // control thread, which is never joined, writes to it too.
  auto& journal = *new JournalFile(state_dir, std::cerr);
  // The job ids, from their store; an agent upgraded from a version
  // without one finds them in its journal.
  auto jobs = std::make_shared<JobLedger>(state_dir, agent_append_files(), std::cerr, [&state_dir] {
    JobRegistry earlier;
    restore_jobs(earlier, read_journal_tail(state_dir, SIZE_MAX));
    return earlier.started_jobs();
  });
  journal.record(agent_line(AGENT_START_EVENT, version));
  auto events = std::make_shared<ServerEvents>(&journal);
  for (const auto& cut : jobs->take_untold_cuts()) events->print_interrupted(cut, true);

  // What the endpoints reach; declared before the server, so that the
  // server's lanes (whose work uses it) have ended before it goes.
  ApiContext api{*state, system_print_platform(), std::string(erp_origin_domain()), jobs, events};

  // The control thread may ask for the stop at any time, also while this
  // frame ends: it holds the server as long as it uses it.
  std::shared_ptr<HttpServer> server(std::move(*http));
  ControlledAgent self{own_executable_text(),
                       [weak = std::weak_ptr<HttpServer>(server)] {
                         if (auto live = weak.lock()) live->shut_down(STOP_GRACE);
                       },
                       &journal};
  if (via_router) {
    auto hand_control = start_handed_control_thread(*token, state, std::move(self));
    if (!hand_control) {
      std::cerr << "[control] no se pudo iniciar el canal de control: " << hand_control.error() << std::endl;
      return 1;
    }
    try {
      // The server is reached as the stop reaches it: it may have ended.
      std::thread([channel = *router.channel, version = std::string(version),
                   weak = std::weak_ptr<HttpServer>(server), control = std::move(*hand_control)] {
        const auto http = [weak](boost::asio::ip::tcp::socket socket) {
          if (auto live = weak.lock()) live->serve_handed(std::move(socket));
        };
        serve_router_channel(channel, version, http, control.take, std::cerr);
      }).detach();
    } catch (const std::system_error& e) {
      std::cerr << "[agente] no se pudo atender al router: " << e.what() << std::endl;
      return 1;
    }
  } else if (control) {
    if (Status started =
            start_control_thread(std::move(control_io), std::move(*control), *token, state, std::move(self));
        !started) {
      std::cerr << "[control] no se pudo iniciar el canal de control: " << started.error() << std::endl;
      return 1;
    }
  }

  std::cout << "Zunel print agent (headless) " << version
            << (via_router ? " — registrado en el router de 127.0.0.1:" : " — escuchando en 127.0.0.1:")
            << HTTP_PORT << '\n'
            << "Empareja con:  zunel-print-agent pair" << std::endl;

  serve_http(api, *server, std::cerr);
  // Jobs still running when the stop's grace ran out are cut with the process.
  if (server->work_outlived_grace()) {
    for (const auto& cut : jobs->cut_running()) events->print_interrupted(cut, false);
  }
  journal.record(agent_line(AGENT_STOP_EVENT, version));
  journal.flush();
  if (server->work_outlived_grace()) {
    // A job still runs after the grace, on the state and context of this
    // frame: the process ends here, without unwinding under it (destroying
    // the server would wait for the job).
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(0);
  }
  return 0;
}

}  // namespace zunel
