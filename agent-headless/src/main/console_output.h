#pragma once
// Standard output and standard error on a real console.
//
// A Windows console does not read UTF-8 by default, so accented text written
// to it as bytes shows as mojibake. Where a standard stream is a console, its
// C++ stream writes through the console's wide-character call instead; a pipe
// or a file keeps receiving exactly the UTF-8 bytes the program writes.

#include <functional>
#include <streambuf>
#include <string_view>

namespace zunel {

// Makes std::cout and std::cerr write through the console's wide-character
// call where that stream is a console (Windows); does nothing on POSIX, where
// a terminal takes the UTF-8 bytes as they are. Call once, after the process
// set-up and before anything is written.
void use_wide_console_output();

// Whether standard output is a regular file on disk (`report > informe.txt`),
// not a console, a pipe or a device.
bool standard_output_is_file();

// A stream buffer that hands what is written to `write_wide` as UTF-16, on
// flush and whenever its buffer fills, never splitting a character: an
// unfinished UTF-8 sequence waits for its remaining bytes. Malformed bytes
// become U+FFFD. A false from `write_wide` makes the stream's write fail.
class WideTextBuffer : public std::streambuf {
 public:
  using Writer = std::function<bool(std::u16string_view)>;
  explicit WideTextBuffer(Writer write_wide);

 protected:
  int_type overflow(int_type ch) override;
  int sync() override;

 private:
  bool write_finished_characters();

  Writer write_wide_;
  char buffer_[1024];
};

}  // namespace zunel
