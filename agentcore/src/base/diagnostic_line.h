#pragma once
// One diagnostic line on the error stream, written with one call and then
// flushed, so that the lines of several threads (the journal's writer, the
// job store, the server) never mix inside a line.

#include <ostream>
#include <string>

namespace zunel {

inline void say_line(std::ostream& out, std::string line) {
  line += '\n';
  out << line << std::flush;
}

}  // namespace zunel
