#include "base/journal_file.h"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>
#include <utility>

#include "base/diagnostic_line.h"
#include "base/os_error.h"
#include "base/private_files.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;

std::string path_text(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

JournalFile::JournalFile(fs::path directory, std::ostream& diagnostics, Clock& clock, JournalLimits limits)
    : directory_(std::move(directory)), diagnostics_(diagnostics), clock_(clock), limits_(limits) {
  thread_ = std::thread([this] { write_loop(); });
}

JournalFile::~JournalFile() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool JournalFile::enqueue(std::string& line) {
  if (queue_.size() >= limits_.max_queued) {
    ++dropped_total_;
    ++dropped_untold_;
    return false;
  }
  queue_.push_back(std::move(line));
  ++queued_total_;
  return true;
}

void JournalFile::record(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (!enqueue(line)) return;
  }
  wake_.notify_one();
}

void JournalFile::record_here(std::string line) {
  std::unique_lock lock(mutex_);
  if (!enqueue(line)) return;
  std::unique_lock file_lock(file_mutex_, std::try_to_lock);
  if (file_lock) return write_queued(lock);
  lock.unlock();
  wake_.notify_one();
}

void JournalFile::flush() {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = queued_total_;
  written_.wait(lock, [&] { return done_total_ >= target; });
}

std::uint64_t JournalFile::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_total_;
}

void JournalFile::write_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty() && stopping_) return;
    std::unique_lock file_lock(file_mutex_, std::try_to_lock);
    if (!file_lock) {
      // A job's thread is writing the queue itself; it says when it is done.
      written_.wait(lock);
      continue;
    }
    write_queued(lock);
  }
}

void JournalFile::write_queued(std::unique_lock<std::mutex>& lock) {
  std::deque<std::string> batch;
  batch.swap(queue_);
  const std::uint64_t untold = std::exchange(dropped_untold_, 0);
  lock.unlock();
  if (untold > 0) {
    JournalLine dropped(clock_.now_secs(), JOURNAL_DROPPED_EVENT);
    dropped.number("count", static_cast<std::int64_t>(untold));
    (void)write_line(std::move(dropped).done());
  }
  std::uint64_t failed = 0;
  for (const std::string& line : batch) {
    if (!write_line(line)) ++failed;
  }
  lock.lock();
  done_total_ += batch.size();
  dropped_total_ += failed;
  written_.notify_all();
}

bool JournalFile::open_file() {
  const fs::path path = directory_ / JOURNAL_FILE;
  // A regular file of its own only: never through a link, never a FIFO.
  auto opened = system_append_files().open(path);
  if (!opened) return false;
  file_ = std::move(*opened);
  if (file_->size() > 0) {
    // A file that a crash left with a torn last line gets a line feed
    // first, so the torn part stays a line of its own that readers skip.
    auto last = system_append_files().read_tail(path, 1);
    if (!last || (last->text != "\n" && !file_->append("\n"))) {
      file_.reset();
      return false;
    }
  }
  return true;
}

bool JournalFile::rotate() {
  file_.reset();
  std::error_code ec;
  const fs::path previous = directory_ / JOURNAL_PREVIOUS_FILE;
  fs::remove(previous, ec);
  fs::rename(directory_ / JOURNAL_FILE, previous, ec);
  if (!ec) return true;
  // The file stays where it is and no line is added to it: the bound holds.
  if (!failing_) {
    say_line(diagnostics_, "[diario] no se pudo rotar " + path_text(directory_ / JOURNAL_FILE) + ": " +
                               os_error_text(ec.value()) + "; el diario se detiene hasta que se pueda");
  }
  failing_ = true;
  return false;
}

bool JournalFile::write_line(const std::string& line) {
  bool ok = file_ || open_file();
  if (ok && file_->size() > 0 && file_->size() + line.size() + 1 > limits_.rotate_bytes) {
    ok = rotate() && open_file();
    if (!ok && failing_) return false;  // said by rotate()
  }
  // One write of the whole line and its line feed, then to the system.
  if (ok) ok = file_->append(line + '\n').ok();
  if (!ok) {
    file_.reset();
    if (!failing_) {
      say_line(diagnostics_, "[diario] no se pudo escribir en " + path_text(directory_ / JOURNAL_FILE) +
                                 "; la impresión sigue y el diario se reanudará cuando se pueda");
    }
    failing_ = true;
    return false;
  }
  if (failing_) {
    failing_ = false;
    say_line(diagnostics_, "[diario] el diario se reanuda");
  }
  return true;
}

std::vector<std::string> read_journal_tail(const fs::path& directory, std::size_t count) {
  std::vector<std::string> lines;
  for (const std::string_view name : {JOURNAL_PREVIOUS_FILE, JOURNAL_FILE}) {
    const auto tail = system_append_files().read_tail(directory / name, JOURNAL_READ_BYTES);
    if (!tail) continue;
    std::string_view rest = tail->text;
    // Read from inside the file: its first line is cut.
    if (tail->size > tail->text.size()) {
      const std::size_t cut = rest.find('\n');
      rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      const std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      boost::json::error_code ec;
      const boost::json::value value = boost::json::parse(line, ec);
      if (ec || !value.is_object()) continue;  // torn by a crash, or not ours
      lines.emplace_back(line);
    }
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
  return lines;
}

}  // namespace zunel
