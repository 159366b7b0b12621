#pragma once
// Gets the process ready before any command runs.

namespace zunel {

// On Windows: when `attach_console` and the process has no standard output,
// borrow the parent's console (the executable has none of its own), and write
// the standard streams in binary mode so a line feed stays one byte. On POSIX:
// ignore SIGPIPE, so a peer that hangs up yields an error, not a dead agent.
void setup_process(bool attach_console);

// This process's id, as the system's tools show it.
unsigned long current_process_id();

}  // namespace zunel
