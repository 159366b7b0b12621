#include "printer_emulator_process.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace zunel {

PrinterEmulatorProcess::PrinterEmulatorProcess() {
  const std::string log_path = (dir_.path() / "emulator.log").string();
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"python3", "-B", ZUNEL_PRINTER_EMULATOR}, log_path);
  for (int i = 0; i < 400 && child_->running(); ++i) {
    std::string line;
    std::getline(std::ifstream(log_path), line);
    if (!line.empty() && line.front() == '{' && line.back() == '}') {
      boost::system::error_code ec;
      const boost::json::value ready = boost::json::parse(line, ec);
      if (!ec && ready.is_object()) {
        const auto& o = ready.as_object();
        tcp_port_ = static_cast<std::uint16_t>(o.at("tcp_port").to_number<int>());
        control_port_ = static_cast<std::uint16_t>(o.at("control_port").to_number<int>());
        pty_ = std::string(o.at("pty").as_string());
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

std::string PrinterEmulatorProcess::log() const {
  std::ostringstream text;
  text << std::ifstream(dir_.path() / "emulator.log").rdbuf();
  return text.str();
}

std::string PrinterEmulatorProcess::control(const std::string& members) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), control_port_}, ec);
  if (ec) return "";
  asio::write(socket, asio::buffer("{" + members + "}\n"), ec);
  asio::streambuf answer;
  asio::read_until(socket, answer, '\n', ec);
  std::string line{asio::buffers_begin(answer.data()), asio::buffers_end(answer.data())};
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

std::string PrinterEmulatorProcess::received_hex() {
  boost::system::error_code ec;
  const boost::json::value answer = boost::json::parse(control(R"("cmd":"received")"), ec);
  if (ec || !answer.is_object() || !answer.as_object().contains("hex")) return "?";
  return std::string(answer.as_object().at("hex").as_string());
}

}  // namespace zunel
