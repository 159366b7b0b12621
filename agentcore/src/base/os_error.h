#pragma once
// The system's text for an error code of this OS: errno values on POSIX;
// Win32 and Winsock codes on Windows, in the user's language, and the one
// form of an OS error, "<message> (os error <code>)" (os_error_text()). The
// agent's files and directories, its sockets, the network and serial writes
// of a print job, the control client and the installer's details take that
// form. Two answers the page is told about keep forms of their own: opening
// a serial port names the port and gives the message alone
// (printing/serial_port.h), and the
// spooler gives "<call> falló (Win32 err <code>)" (printing/spooler_channel.h).

#include <boost/system/error_code.hpp>
#include <string>
#include <string_view>

namespace zunel {

// The system's own text for `code`, in UTF-8, white space trimmed from both
// ends; empty when the system has none (Wine lacks the texts of many codes).
std::string system_message(int code);

// system_message(), or "Unknown error <code>" (the C library's own form)
// when the system has no text.
std::string os_error_message(int code);

// "<message> (os error <code>)".
std::string with_os_error_code(std::string_view message, long long code);

// "<os_error_message(code)> (os error <code>)".
std::string os_error_text(int code);

// As above, with `unknown` standing in for a code the system has no text for.
std::string os_error_text(int code, std::string_view unknown);

// The stand-in the installer's details and the data directory's errors show.
inline constexpr std::string_view SYSTEM_ERROR_STAND_IN = "error del sistema";

// Boost's text for `ec` with its code: "Address already in use (os error 98)".
std::string os_error_text(const boost::system::error_code& ec);

}  // namespace zunel
