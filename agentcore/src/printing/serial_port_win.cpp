#include "printing/serial_port.h"

#include <windows.h>

#include <algorithm>

#include "base/utf8.h"
#include "base/os_error.h"

namespace zunel {
namespace {

class WinSerialLine final : public SerialLine {
 public:
  explicit WinSerialLine(HANDLE h) : h_(h) {}
  ~WinSerialLine() override { ::CloseHandle(h_); }
  WinSerialLine(const WinSerialLine&) = delete;
  WinSerialLine& operator=(const WinSerialLine&) = delete;

  Outcome<std::size_t> write_some(const std::uint8_t* data, std::size_t size,
                                  std::chrono::milliseconds wait) override {
    // The port's write time-out ends the call with what was taken by then.
    if (wait != write_wait_) {
      write_wait_ = wait;
      if (const DWORD error = set_timeouts(read_timeout_); error != 0) return fail(os_error_text(error));
    }
    const DWORD chunk = size > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(h_, data, chunk, &written, nullptr)) return fail(os_error_text(::GetLastError()));
    return static_cast<std::size_t>(written);
  }

  Status flush() override {
    if (!::FlushFileBuffers(h_)) return fail(os_error_text(::GetLastError()));
    return {};
  }

  Outcome<std::size_t> read_some(std::uint8_t* buffer, std::size_t size,
                                 std::chrono::milliseconds timeout) override {
    if (size == 0) return std::size_t{0};
    // One byte, waiting up to `timeout` for it: a read of one byte returns
    // as soon as it arrives. A larger read under a total time-out waits for
    // all it asked for; Windows' "return at the first byte" setting
    // (MAXDWORD interval and multiplier) waited out the whole time-out
    // under Wine 8 when tried.
    if (const DWORD error = set_timeouts(timeout); error != 0) return fail(os_error_text(error));
    DWORD first = 0;
    if (!::ReadFile(h_, buffer, 1, &first, nullptr)) return fail(os_error_text(::GetLastError()));
    if (first == 0 || size == 1) return static_cast<std::size_t>(first);
    // Then whatever else has arrived, without waiting.
    if (const DWORD error = set_timeouts(std::chrono::milliseconds(0)); error != 0) {
      return fail(os_error_text(error));
    }
    const std::size_t rest = size - 1;
    const DWORD chunk = rest > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(rest);
    DWORD more = 0;
    if (!::ReadFile(h_, buffer + 1, chunk, &more, nullptr)) return fail(os_error_text(::GetLastError()));
    return std::size_t{1} + more;
  }

  Status purge_input() override {
    if (!::PurgeComm(h_, PURGE_RXCLEAR | PURGE_RXABORT)) return fail(os_error_text(::GetLastError()));
    return {};
  }

  // The write bound of the settings, and a read bound of `read_timeout`:
  // 0, return at once with what has arrived; otherwise a read ends when all
  // it asked for came or the time-out passed. 0, or the system's error code.
  DWORD set_timeouts(std::chrono::milliseconds read_timeout) {
    read_timeout_ = read_timeout;
    COMMTIMEOUTS timeouts{};
    if (read_timeout.count() > 0) {
      timeouts.ReadTotalTimeoutConstant =
          static_cast<DWORD>(read_timeout.count() < 0x7fffffff ? read_timeout.count() : 0x7fffffff);
    } else {
      timeouts.ReadIntervalTimeout = MAXDWORD;
    }
    // A write waits at most its own wait (0 would mean no bound at all).
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(std::max<long long>(write_wait_.count(), 1));
    return ::SetCommTimeouts(h_, &timeouts) ? 0 : ::GetLastError();
  }

 private:
  HANDLE h_;
  std::chrono::milliseconds read_timeout_{0};
  std::chrono::milliseconds write_wait_{100};
};

// The open failure with Win32 error `code`.
Error open_error(const std::string& name, DWORD code) {
  const bool not_found = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  return fail(serial_open_error(name, os_error_message(static_cast<int>(code)), not_found));
}

class WinSerialPorts final : public SerialPorts {
 public:
  Outcome<std::unique_ptr<SerialLine>> open(const std::string& name, const SerialSettings& settings) override {
    // The system would open the part before a NUL: that device is not the one named.
    if (name.find('\0') != std::string::npos) return open_error(name, ERROR_FILE_NOT_FOUND);
    const std::u16string path = utf8_to_utf16(windows_serial_device_name(name));
    const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                                   0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return open_error(name, ::GetLastError());
    auto line = std::make_unique<WinSerialLine>(h);  // closes on every path

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) return open_error(name, ::GetLastError());
    dcb.BaudRate = settings.baud_rate;
    dcb.ByteSize = static_cast<BYTE>(settings.data_bits);
    dcb.Parity = NOPARITY;
    dcb.fParity = FALSE;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    // DTR and RTS held inactive.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!::SetCommState(h, &dcb)) return open_error(name, ::GetLastError());

    // Writes bounded; a read never waits unless a read call asks it to.
    if (const DWORD error = line->set_timeouts(std::chrono::milliseconds(0)); error != 0) {
      return open_error(name, error);
    }
    return std::unique_ptr<SerialLine>(std::move(line));
  }
};

}  // namespace

SerialPorts& system_serial_ports() {
  static WinSerialPorts ports;
  return ports;
}

bool serial_port_name_allowed(const std::string& name) { return windows_serial_port_name(name); }

}  // namespace zunel
