#pragma once
// The journal's files (base/journal.h): the writer, a thread of its own
// behind a bounded queue, and the reader of the last lines.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/append_file.h"
#include "base/clock.h"
#include "base/journal.h"

namespace zunel {

struct JournalLimits {
  std::size_t rotate_bytes = 1u << 20;  // a file never grows past it
  std::size_t max_queued = 1024;        // lines waiting for the disk
};

// Appends lines to `directory`/journal.jsonl on its own thread. record()
// only queues: a full queue drops the line and counts it (a
// "journal_dropped" line tells the count once there is room). When the disk
// refuses a line (full, read-only, gone) the writer says so once on
// `diagnostics`, drops the line and tries again with the next one; when a
// write succeeds again it says that too. A file that a crash left with a
// torn last line gets a line feed before the next line, so the torn part
// stays a line of its own that readers skip.
class JournalFile final : public Journal {
 public:
  // `clock` dates the writer's own lines (journal_dropped).
  JournalFile(std::filesystem::path directory, std::ostream& diagnostics, Clock& clock = system_clock(),
              JournalLimits limits = {});
  // Writes what is queued, then ends the thread.
  ~JournalFile() override;
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  void record(std::string line) override;
  // When no other thread is writing, writes what is queued and the line on
  // the calling thread; otherwise queues it for the writer.
  void record_here(std::string line) override;

  // Waits until every line queued before the call is written or dropped.
  void flush();

  // Lines dropped so far, for a full queue or a refusing disk.
  std::uint64_t dropped() const;

 private:
  // Queues `line`, or drops and counts it when the queue is full (false).
  // REQUIRES: mutex_ is held.
  bool enqueue(std::string& line);
  void write_loop();
  // Writes the queue in order. REQUIRES: `lock` holds mutex_ and the caller
  // holds file_mutex_; mutex_ is released while the lines are written.
  void write_queued(std::unique_lock<std::mutex>& lock);
  bool write_line(const std::string& line);
  bool open_file();
  // False (said once) when the file could not be moved aside: the journal
  // then writes nothing rather than grow past its bound.
  bool rotate();

  const std::filesystem::path directory_;
  std::ostream& diagnostics_;
  Clock& clock_;
  const JournalLimits limits_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::deque<std::string> queue_;        // under mutex_
  std::uint64_t queued_total_ = 0;       // under mutex_
  std::uint64_t done_total_ = 0;         // under mutex_
  std::uint64_t dropped_total_ = 0;      // under mutex_
  std::uint64_t dropped_untold_ = 0;     // under mutex_: not yet in a journal_dropped line
  bool stopping_ = false;                // under mutex_

  // Held by whichever thread writes (the writer, or a caller of
  // record_here), taken only by try_lock under mutex_, so that
  // the lines reach the file in the order they were queued.
  std::mutex file_mutex_;
  // Under file_mutex_.
  std::unique_ptr<AppendFile> file_;
  bool failing_ = false;

  std::thread thread_;
};

// The last `count` whole lines of the journal in `directory`, the previous
// file's before the current one's, oldest first; torn or unreadable lines
// are skipped. Reads the files itself (the agent need not run), only when
// they are regular files, and at most JOURNAL_READ_BYTES of each, from its
// end.
inline constexpr std::size_t JOURNAL_READ_BYTES = 4u << 20;
std::vector<std::string> read_journal_tail(const std::filesystem::path& directory, std::size_t count);

}  // namespace zunel
