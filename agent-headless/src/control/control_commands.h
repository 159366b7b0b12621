#pragma once
// The `pair`, `list`/`info` and `revoke <id>` commands: build the request,
// send it to the running agent, print the reply as the person at the
// terminal sees it, and give the exit code.

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

enum class ControlCommand { Pair, Info, Revoke };

// The request as compact JSON with its keys in ascending byte order, without
// a line feed: {"cmd":…,"id":…,"token":…}; `id` is sent for revoke only.
std::string control_request_line(ControlCommand command, std::string_view token,
                                 std::string_view id = {});

// Prints the reply line and returns the exit code: 0 when it is an object
// whose "ok" is true (pair: the code lines, transliterated; info: the "info"
// member as indented JSON with sorted keys; revoke: "Dispositivo revocado."),
// else 1 with "Error: " and the reply's "error" text, or "desconocido", on
// `err`.
int print_control_reply(ControlCommand command, std::string_view reply_line, std::ostream& out,
                        std::ostream& err);

// Sends one request line; the reply line or an error text to show as is.
using ControlSender = std::function<Outcome<std::string>(const std::string& request_line)>;

// The whole command. A token that could not be read is reported with its
// message, and nothing is sent; a failed send is reported with its text.
int run_control_command(ControlCommand command, const Outcome<std::string>& token,
                        std::string_view id, const ControlSender& send, std::ostream& out,
                        std::ostream& err);

}  // namespace zunel
