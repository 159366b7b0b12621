#include "printing/serial_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "posix_test_process.h"
#include "printing/serial_channel.h"
#include "temp_dir.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal pair from socat: what is written to `a` comes out of `b`.
class PtyPair {
 public:
  PtyPair()
      : a_((dir_.path() / "A").string()),
        b_((dir_.path() / "B").string()),
        socat_({"socat", "-d", "-d", "pty,raw,echo=0,link=" + a_, "pty,raw,echo=0,link=" + b_},
               (dir_.path() / "socat.log").string()) {
    for (int i = 0; i < 500 && !(fs::exists(a_) && fs::exists(b_)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool ready() const { return fs::exists(a_) && fs::exists(b_); }
  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }

 private:
  testing::TempDir dir_;
  std::string a_;
  std::string b_;
  ChildProcess socat_;
};

// Reads from `path` until `count` bytes came or nothing came for 5 s.
std::vector<std::uint8_t> read_from(const std::string& path, std::size_t count) {
  std::vector<std::uint8_t> got;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return got;
  std::uint8_t buffer[4096];
  while (got.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) got.insert(got.end(), buffer, buffer + n);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  ::close(fd);
  return got;
}

TEST(PosixSerialPort, EveryByteValueArrivesExactlyAtTheOtherEnd) {
  PtyPair pty;
  ASSERT_TRUE(pty.ready());
  std::vector<std::uint8_t> bytes;
  for (int round = 0; round < 64; ++round) {
    for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<std::uint8_t>(v ^ round));
  }
  std::vector<std::uint8_t> got;
  std::thread reader([&] { got = read_from(pty.b(), bytes.size()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader holds its end open
  const Status status = send_serial(system_serial_ports(), pty.a(), 115200, bytes);
  reader.join();
  ASSERT_TRUE(status.ok()) << status.error();
  EXPECT_TRUE(got == bytes) << "received " << got.size() << " of " << bytes.size() << " bytes";
}

TEST(PosixSerialPort, EmptyJobOpensFlushesAndCloses) {
  PtyPair pty;
  ASSERT_TRUE(pty.ready());
  const Status status = send_serial(system_serial_ports(), pty.a(), 9600, {});
  EXPECT_TRUE(status.ok()) << status.error();
}

TEST(PosixSerialPort, OpenErrorsNameThePortAndGiveTheSystemTextWithoutTheCode) {
  const std::vector<std::uint8_t> one{1};
  for (const std::string& name : {std::string("/dev/zunel-no-such-port"), std::string(""),
                                  std::string("/dev/null\0/x", 11)}) {
    const Status status = send_serial(system_serial_ports(), name, 9600, one);
    ASSERT_FALSE(status.ok()) << name;
    EXPECT_EQ(status.error(), "puerto serie '" + name + "' no encontrado: No such file or directory") << name;
  }
  // Not a terminal: configuring the line fails, again without a code.
  const Status not_a_tty = send_serial(system_serial_ports(), "/dev/null", 9600, one);
  ASSERT_FALSE(not_a_tty.ok());
  EXPECT_EQ(not_a_tty.error(), "no se pudo abrir el puerto serie '/dev/null': Inappropriate ioctl for device");
}

TEST(PosixSerialPort, AWriteThatNothingTakesEndsWhenItsWaitPasses) {
  // A pseudo-terminal whose other side nobody reads: its buffer fills.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string name = ::ptsname(master);
  SerialSettings settings;
  settings.baud_rate = 9600;
  auto line = system_serial_ports().open(name, settings);
  ASSERT_TRUE(line.ok()) << line.error();
  const std::vector<std::uint8_t> chunk(4096, 0x41);
  std::size_t total = 0;
  Outcome<std::size_t> written = std::size_t{1};
  while (written.ok() && *written > 0 && total < (64u << 20)) {
    written = (*line)->write_some(chunk.data(), chunk.size(), std::chrono::milliseconds(200));
    if (written.ok()) total += *written;
  }
  const auto start = std::chrono::steady_clock::now();
  if (written.ok()) written = (*line)->write_some(chunk.data(), chunk.size(), std::chrono::milliseconds(200));
  const auto waited = std::chrono::steady_clock::now() - start;
  ::close(master);
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(*written, 0u) << "the buffer took " << total << " bytes";
  EXPECT_GT(total, 0u);
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(2));
}

TEST(PosixSerialPort, PurgeDropsWaitingInputAndReadsWaitTheirTimeOut) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  SerialSettings settings;
  settings.baud_rate = 9600;
  auto line = system_serial_ports().open(::ptsname(master), settings);
  ASSERT_TRUE(line.ok()) << line.error();
  // A reply left over from an earlier query.
  ASSERT_EQ(::write(master, "\x16", 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE((*line)->purge_input().ok());
  std::uint8_t buffer[8];
  const auto start = std::chrono::steady_clock::now();
  auto nothing = (*line)->read_some(buffer, sizeof buffer, std::chrono::milliseconds(100));
  ASSERT_TRUE(nothing.ok()) << nothing.error();
  EXPECT_EQ(*nothing, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  ASSERT_EQ(::write(master, "\x12", 1), 1);
  auto got = (*line)->read_some(buffer, sizeof buffer, std::chrono::milliseconds(1000));
  ::close(master);
  ASSERT_TRUE(got.ok()) << got.error();
  ASSERT_EQ(*got, 1u);
  EXPECT_EQ(buffer[0], 0x12);
}

}  // namespace
}  // namespace zunel
