#pragma once
// Stand-ins for the printing platform and a request signer, for tests that
// drive the API without printers.

#include <sodium.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/hex.h"
#include "printing/print_platform.h"
#include "printing/printer_directory.h"
#include "printing/serial_port.h"
#include "printing/spooler.h"
#include "printing/tcp_network.h"
#include "server/http_message.h"

namespace zunel {

// Records "host:port:bytes" for each connection's data; fails every connect
// with `error` when it is set.
class RecordingNetwork final : public TcpNetwork {
 public:
  Outcome<std::vector<TcpAddress>> resolve(const std::string& host, std::uint16_t port) override {
    return std::vector<TcpAddress>{TcpAddress{host + ":" + std::to_string(port)}};
  }
  Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                  std::chrono::milliseconds) override {
    if (!error.empty()) return fail(error);
    sent.push_back(address.bytes + ":");
    return std::unique_ptr<TcpConnection>(new Connection(sent.back()));
  }

  std::vector<std::string> sent;
  std::string error;

 private:
  struct Connection final : TcpConnection {
    explicit Connection(std::string& out) : out_(out) {}
    Status set_send_timeout(std::chrono::milliseconds) override { return {}; }
    Outcome<std::size_t> send_some(const std::uint8_t* data, std::size_t size) override {
      out_.append(reinterpret_cast<const char*>(data), size);
      return size;
    }
    std::string& out_;
  };
};

class NoSerialPorts final : public SerialPorts {
 public:
  Outcome<std::unique_ptr<SerialLine>> open(const std::string&, const SerialSettings&) override {
    return fail("No such file or directory");
  }
};

class NoSpooler final : public Spooler {
 public:
  bool open_printer(const std::string&, SpoolerHandle&) override { return false; }
  bool start_doc(SpoolerHandle, const std::string&, const std::string&) override { return false; }
  bool start_page(SpoolerHandle) override { return false; }
  bool write(SpoolerHandle, const std::uint8_t*, std::uint32_t, std::uint32_t&) override {
    return false;
  }
  bool end_page(SpoolerHandle) override { return false; }
  bool end_doc(SpoolerHandle) override { return false; }
  bool close_printer(SpoolerHandle) override { return true; }
  std::uint32_t last_error() override { return 1801; }
};

class ScriptedPrinters final : public PrinterDirectory {
 public:
  Outcome<std::vector<PrinterInfo>> list() override { return result; }
  Outcome<std::vector<PrinterInfo>> result = std::vector<PrinterInfo>{};
};

struct FakePrinting {
  RecordingNetwork network;
  NoSerialPorts serial;
  NoSpooler spooler;
  ScriptedPrinters printers;
  PrintPlatform platform{network, serial, spooler, printers};
};

// The four signature headers of a request over `body` by the device whose
// token is `token_hex`, signed at `timestamp`.
inline HeaderList sign_request(const std::string& token_hex, const std::string& body,
                               const std::string& nonce, std::uint64_t timestamp) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(body.data()), body.size());
  const std::string message = std::to_string(timestamp) + "." + nonce + "." +
                              to_hex(std::span<const std::uint8_t>(digest, sizeof digest));
  const auto key = from_hex(token_hex).value_or(std::vector<std::uint8_t>(32));
  unsigned char mac[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, key.data(), key.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                message.size());
  crypto_auth_hmacsha256_final(&state, mac);
  return {{"Authorization", "Bearer " + token_hex},
          {"X-Zunel-Timestamp", std::to_string(timestamp)},
          {"X-Zunel-Nonce", nonce},
          {"X-Zunel-Sign", to_hex(std::span<const std::uint8_t>(mac, sizeof mac))}};
}

}  // namespace zunel
