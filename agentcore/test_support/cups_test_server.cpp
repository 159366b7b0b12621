#include "cups_test_server.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zunel {

namespace fs = std::filesystem;

CupsTestServer::CupsTestServer(const std::map<std::string, std::string>& backends) {
  const std::string root = dir_.path().string();
  // The backends run as lp and must reach the spooled files below.
  ::chmod(root.c_str(), 0755);
  for (const char* sub : {"spool", "cache", "state", "log", "tmp"}) fs::create_directories(root + "/" + sub);
  std::string server_bin;
  if (!backends.empty()) {
    // The system's programs, linked, and the test's backends beside its own.
    server_bin = root + "/serverbin";
    const fs::path system_bin = "/usr/lib/cups";
    fs::create_directories(server_bin + "/backend");
    for (const auto& entry : fs::directory_iterator(system_bin)) {
      if (entry.path().filename() != "backend") fs::create_symlink(entry.path(), server_bin / entry.path().filename());
    }
    for (const auto& entry : fs::directory_iterator(system_bin / "backend")) {
      fs::create_symlink(entry.path(), server_bin + "/backend/" + entry.path().filename().string());
    }
    for (const auto& [name, script] : backends) {
      const std::string path = server_bin + "/backend/" + name;
      std::ofstream(path) << script;
      ::chmod(path.c_str(), 0755);
    }
    ::chmod(server_bin.c_str(), 0755);
    ::chmod((server_bin + "/backend").c_str(), 0755);
  }
  socket_ = root + "/cups.sock";
  std::ofstream(root + "/cupsd.conf") << "Listen " << socket_ << "\n"
                                      << "Browsing No\n"
                                         "WebInterface No\n"
                                         "DefaultAuthType None\n"
                                         "LogLevel warn\n"
                                         "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                         "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                                         "</Policy>\n";
  std::ofstream(root + "/cups-files.conf") << "ServerRoot " << root << "\n"
                                           << "RequestRoot " << root << "/spool\n"
                                           << "CacheDir " << root << "/cache\n"
                                           << "StateDir " << root << "/state\n"
                                           << "TempDir " << root << "/tmp\n"
                                           << "ErrorLog " << root << "/log/error_log\n"
                                           << "AccessLog " << root << "/log/access_log\n"
                                           << "PageLog " << root << "/log/page_log\n"
                                           << (server_bin.empty() ? "" : "ServerBin " + server_bin + "\n");
  cupsd_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/sbin/cupsd", "-f", "-c", root + "/cupsd.conf", "-s", root + "/cups-files.conf"},
      root + "/log/cupsd.out");
  // lpstat exits 0 whether or not the server runs: its text tells.
  for (int i = 0; i < 200 && cupsd_->running(); ++i) {
    if (run_command({"lpstat", "-h", socket_, "-r"}).output == "scheduler is running\n") {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

CupsTestServer::~CupsTestServer() { stop(); }

void CupsTestServer::stop() {
  if (cupsd_) cupsd_->stop();
  ready_ = false;
}

std::string CupsTestServer::log() const {
  std::ostringstream text;
  text << std::ifstream(dir_.path() / "log" / "error_log").rdbuf()
       << std::ifstream(dir_.path() / "log" / "cupsd.out").rdbuf();
  return text.str();
}

CommandResult CupsTestServer::add_raw_queue(const std::string& name, std::uint16_t port) {
  return run_command({"lpadmin", "-h", socket_, "-p", name, "-E", "-v", "socket://127.0.0.1:" + std::to_string(port)});
}

CommandResult CupsTestServer::pause_queue(const std::string& name) {
  return run_command({"cupsdisable", "-h", socket_, name});
}

CommandResult CupsTestServer::add_queue(const std::string& name, const std::string& uri) {
  return run_command({"lpadmin", "-h", socket_, "-p", name, "-E", "-v", uri});
}

CommandResult CupsTestServer::submit(const std::string& queue, const std::string& text) {
  const std::string path = (dir_.path() / "tmp" / "job.txt").string();
  std::ofstream(path) << text;
  return run_command({"lp", "-h", socket_, "-d", queue, "-o", "raw", path});
}

}  // namespace zunel
