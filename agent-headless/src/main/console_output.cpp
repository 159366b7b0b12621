#include "main/console_output.h"

#include <cstring>
#include <utility>

#include "base/utf8.h"

namespace zunel {

WideTextBuffer::WideTextBuffer(Writer write_wide) : write_wide_(std::move(write_wide)) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

WideTextBuffer::int_type WideTextBuffer::overflow(int_type ch) {
  if (!write_finished_characters()) return traits_type::eof();
  if (!traits_type::eq_int_type(ch, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
  }
  return traits_type::not_eof(ch);
}

int WideTextBuffer::sync() { return write_finished_characters() ? 0 : -1; }

bool WideTextBuffer::write_finished_characters() {
  const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  const std::size_t finished = utf8_complete_prefix(pending);
  const bool written = finished == 0 || write_wide_(utf8_to_utf16(pending.substr(0, finished)));
  // At most three bytes of an unfinished character stay behind, so the
  // buffer always has room again.
  const std::size_t kept = pending.size() - finished;
  std::memmove(buffer_, pending.data() + finished, kept);
  setp(buffer_, buffer_ + sizeof buffer_);
  pbump(static_cast<int>(kept));
  return written;
}

}  // namespace zunel
