#include "main/process_setup.h"

#include <unistd.h>

#include <csignal>

namespace zunel {

// There is no console to borrow on POSIX: a terminal already gives the
// process its standard streams.
void setup_process(bool /*attach_console*/) { std::signal(SIGPIPE, SIG_IGN); }

unsigned long current_process_id() { return static_cast<unsigned long>(getpid()); }

}  // namespace zunel
