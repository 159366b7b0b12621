#pragma once
// Recording stand-ins for the platform services of printing, for tests: each
// logs the calls it receives and answers as the test scripted it.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "printing/print_platform.h"

namespace zunel {

// Logs every call as a short line ("resolve:h:9100", "connect:A",
// "send:100", "receive:1500" followed by what it took, or by "none",
// "close") into a shared log. A send that takes nothing stands for a wait
// to the end of its wait, by moving `clock` (when set) that far.
//
// A printer that answers: every connection's input starts as `stale`; a
// send whose bytes are exactly a key of `replies` adds that reply to it.
// A receive takes the whole input; with none, it stands for a wait to the
// end of its time-out by moving `clock` (when set) that far.
class FakeTcpNetwork final : public TcpNetwork {
 public:
  std::string stale;
  std::map<std::string, std::string> replies;
  std::string receive_error;  // non-empty: receive_some fails with it
  FakeMonotonicClock* clock = nullptr;
  // Resolution result; an Error fails it.
  Outcome<std::vector<TcpAddress>> addresses = std::vector<TcpAddress>{{"A"}};
  // Addresses whose connection attempt fails, with the error text.
  std::map<std::string, std::string> refusing;
  // Counts each send call takes, in turn; when they run out, a call takes
  // everything. An Error fails the call.
  std::deque<Outcome<std::size_t>> sends;
  std::vector<std::string> log;
  std::vector<std::uint8_t> received;  // what the connections took, in order
  // One entry per connection made: its address, ':', then what it took.
  std::vector<std::string> sent;
  std::chrono::milliseconds last_connect_timeout{0};
  // Runs on the connecting thread before each connection attempt (a test
  // holds a printer busy with it).
  std::function<void()> on_connect;

  Outcome<std::vector<TcpAddress>> resolve(const std::string& host, std::uint16_t port) override {
    log.push_back("resolve:" + host + ":" + std::to_string(port));
    return addresses;
  }

  Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                  std::chrono::milliseconds timeout) override {
    if (on_connect) on_connect();
    log.push_back("connect:" + address.bytes);
    last_connect_timeout = timeout;
    if (auto it = refusing.find(address.bytes); it != refusing.end()) return fail(it->second);
    sent.push_back(address.bytes + ":");
    return std::unique_ptr<TcpConnection>(std::make_unique<Connection>(*this, sent.size() - 1));
  }

 private:
  class Connection final : public TcpConnection {
   public:
    Connection(FakeTcpNetwork& net, std::size_t index) : net_(net), index_(index) {}
    ~Connection() override { net_.log.push_back("close"); }
    Outcome<std::size_t> send_some(const std::uint8_t* data, std::size_t size,
                                   std::chrono::milliseconds wait) override {
      net_.log.push_back("send:" + std::to_string(size));
      std::size_t take = size;
      if (!net_.sends.empty()) {
        auto next = std::move(net_.sends.front());
        net_.sends.pop_front();
        if (!next) return next;
        take = *next < size ? *next : size;
      }
      if (take == 0 && net_.clock != nullptr) net_.clock->advance(wait);
      net_.received.insert(net_.received.end(), data, data + take);
      net_.sent[index_].append(reinterpret_cast<const char*>(data), take);
      const auto reply = net_.replies.find(std::string(reinterpret_cast<const char*>(data), take));
      if (reply != net_.replies.end()) input_ += reply->second;
      return take;
    }
    Outcome<std::size_t> receive_some(std::uint8_t* buffer, std::size_t size,
                                      std::chrono::milliseconds timeout) override {
      net_.log.push_back("receive:" + std::to_string(timeout.count()));
      if (!net_.receive_error.empty()) return fail(net_.receive_error);
      return take_input(input_, buffer, size, timeout, net_.clock, net_.log);
    }

   private:
    FakeTcpNetwork& net_;
    std::size_t index_;
    std::string input_ = net_.stale;
  };

 public:
  // What a receive or read takes from `input`, logged after its call.
  static std::size_t take_input(std::string& input, std::uint8_t* buffer, std::size_t size,
                                std::chrono::milliseconds timeout, FakeMonotonicClock* clock,
                                std::vector<std::string>& log) {
    if (input.empty()) {
      if (clock != nullptr) clock->advance(timeout);
      log.back() += ":none";
      return 0;
    }
    const std::size_t n = input.size() < size ? input.size() : size;
    std::copy_n(input.begin(), n, buffer);
    log.back() += ":" + std::to_string(n);
    input.erase(0, n);
    return n;
  }
};

// Logs "open:NAME" with the settings, "write:N", "flush", "purge",
// "read:TIMEOUT" followed by what it took or "none", "close". Input and
// replies as in FakeTcpNetwork; a purge discards the input.
class FakeSerialPorts final : public SerialPorts {
 public:
  std::string stale;
  std::map<std::string, std::string> replies;
  FakeMonotonicClock* clock = nullptr;
  std::string open_error;   // non-empty: open fails with it
  std::string flush_error;  // non-empty: flush fails with it
  std::deque<Outcome<std::size_t>> writes;  // as FakeTcpNetwork::sends
  std::vector<std::string> log;
  std::vector<std::uint8_t> received;
  SerialSettings last_settings;

  Outcome<std::unique_ptr<SerialLine>> open(const std::string& name, const SerialSettings& settings) override {
    log.push_back("open:" + name);
    last_settings = settings;
    if (!open_error.empty()) return fail(open_error);
    return std::unique_ptr<SerialLine>(std::make_unique<Line>(*this));
  }

 private:
  class Line final : public SerialLine {
   public:
    explicit Line(FakeSerialPorts& ports) : ports_(ports) {}
    ~Line() override { ports_.log.push_back("close"); }
    Outcome<std::size_t> write_some(const std::uint8_t* data, std::size_t size,
                                    std::chrono::milliseconds wait) override {
      ports_.log.push_back("write:" + std::to_string(size));
      std::size_t take = size;
      if (!ports_.writes.empty()) {
        auto next = std::move(ports_.writes.front());
        ports_.writes.pop_front();
        if (!next) return next;
        take = *next < size ? *next : size;
      }
      if (take == 0 && ports_.clock != nullptr) ports_.clock->advance(wait);
      ports_.received.insert(ports_.received.end(), data, data + take);
      const auto reply = ports_.replies.find(std::string(reinterpret_cast<const char*>(data), take));
      if (reply != ports_.replies.end()) input_ += reply->second;
      return take;
    }
    Status flush() override {
      ports_.log.push_back("flush");
      if (!ports_.flush_error.empty()) return fail(ports_.flush_error);
      return {};
    }
    Outcome<std::size_t> read_some(std::uint8_t* buffer, std::size_t size,
                                   std::chrono::milliseconds timeout) override {
      ports_.log.push_back("read:" + std::to_string(timeout.count()));
      return FakeTcpNetwork::take_input(input_, buffer, size, timeout, ports_.clock, ports_.log);
    }
    Status purge_input() override {
      ports_.log.push_back("purge");
      input_.clear();
      return {};
    }

   private:
    FakeSerialPorts& ports_;
    std::string input_ = ports_.stale;
  };
};

// Logs "open:NAME", "start_doc:DOC:TYPE", "start_page", "write:N",
// "end_page", "end_doc", "get_printer", "get_job:ID", "close". Any step can be made to fail with a code,
// and last_error() answers the code of the latest failure only until the
// next call, as GetLastError does.
class RecordingSpooler final : public Spooler {
 public:
  enum class Step { Open, StartDoc, StartPage, Write, EndPage, EndDoc, GetPrinter, GetJob, Close };
  std::map<Step, std::uint32_t> failing;  // step -> error code
  // Set: write reports this count instead of the full size.
  std::optional<std::uint32_t> short_write;
  // What get_printer reports: recorded values, as a spooler gave them.
  SpoolerPrinterReport report = WinspoolPrinterReport{};
  // The id start_doc gives, and what get_job reports in turn (the last one
  // again once the others are used; none: get_job fails).
  std::uint32_t job_id = 7;
  std::deque<SpoolerJobReport> job_reports;
  std::vector<std::string> log;
  std::vector<std::uint8_t> received;

  bool open_printer(const std::string& name, SpoolerHandle& handle) override {
    log.push_back("open:" + name);
    if (!step(Step::Open)) return false;
    handle = HANDLE;
    return true;
  }
  bool start_doc(SpoolerHandle h, const std::string& document_name, const std::string& data_type,
                 std::uint32_t& id) override {
    log.push_back("start_doc:" + document_name + ":" + data_type);
    id = job_id;
    return checked(h) && step(Step::StartDoc);
  }
  bool start_page(SpoolerHandle h) override {
    log.push_back("start_page");
    return checked(h) && step(Step::StartPage);
  }
  bool write(SpoolerHandle h, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    log.push_back("write:" + std::to_string(size));
    written = 0;
    if (!checked(h) || !step(Step::Write)) return false;
    written = short_write ? *short_write : size;
    received.insert(received.end(), data, data + written);
    return true;
  }
  bool end_page(SpoolerHandle h) override {
    log.push_back("end_page");
    return checked(h) && step(Step::EndPage);
  }
  bool end_doc(SpoolerHandle h) override {
    log.push_back("end_doc");
    return checked(h) && step(Step::EndDoc);
  }
  bool close_printer(SpoolerHandle h) override {
    log.push_back("close");
    return checked(h) && step(Step::Close);
  }
  bool get_printer(SpoolerHandle h, SpoolerPrinterReport& out) override {
    log.push_back("get_printer");
    if (!checked(h) || !step(Step::GetPrinter)) return false;
    out = report;
    return true;
  }
  bool get_job(SpoolerHandle h, std::uint32_t id, SpoolerJobReport& out) override {
    log.push_back("get_job:" + std::to_string(id));
    if (!checked(h) || !step(Step::GetJob)) return false;
    if (job_reports.empty()) return false;
    out = job_reports.front();
    if (job_reports.size() > 1) job_reports.pop_front();
    return true;
  }
  std::uint32_t last_error() override { return last_error_; }

 private:
  static constexpr SpoolerHandle HANDLE = 0x5eed;
  std::uint32_t last_error_ = 0;

  bool step(Step s) {
    // Every call overwrites the last error, as the system's calls may.
    auto it = failing.find(s);
    last_error_ = it == failing.end() ? 0 : it->second;
    return it == failing.end();
  }
  bool checked(SpoolerHandle h) {
    if (h == HANDLE) return true;
    log.push_back("bad handle");
    return false;
  }
};

class FakePrinterDirectory final : public PrinterDirectory {
 public:
  Outcome<std::vector<PrinterInfo>> answer = std::vector<PrinterInfo>{};
  int calls = 0;
  Outcome<std::vector<PrinterInfo>> list() override {
    ++calls;
    return answer;
  }
};

// All four fakes, and the platform that reaches them.
struct FakePrintPlatform {
  FakeTcpNetwork network;
  FakeSerialPorts serial_ports;
  RecordingSpooler spooler;
  FakePrinterDirectory printers;
  FakeMonotonicClock clock;
  PrintPlatform platform{network, serial_ports, spooler, printers};
};

}  // namespace zunel
