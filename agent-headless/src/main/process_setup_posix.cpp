#include "main/process_setup.h"

#include <csignal>

namespace zunel {

// There is no console to borrow on POSIX: a terminal already gives the
// process its standard streams.
void setup_process(bool /*attach_console*/) { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace zunel
