#pragma once
// The system's message text for an error code of this OS: errno values on
// POSIX; Win32 and Winsock codes on Windows. The error texts of the output
// channels reach the ERP user unchanged, so they read the same on every
// platform: "<message> (os error <code>)".

#include <string>

namespace zunel {

// The message alone, white space trimmed from both ends, in UTF-8.
std::string os_error_message(int code);

// "<message> (os error <code>)".
std::string os_error_text(int code);

}  // namespace zunel
