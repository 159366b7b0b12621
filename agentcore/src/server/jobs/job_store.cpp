#include "server/jobs/job_store.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <algorithm>
#include <map>
#include <optional>

#include "base/hex.h"
#include "base/json_members.h"
#include "base/strict_json.h"
#include "printing/print_body_reader.h"

namespace zunel {
namespace {

namespace json = boost::json;

// The last second of the year 9999: no time the agent writes is later.
constexpr std::uint64_t LATEST_TIME = 253402300799;

json::object job_members(std::string_view event, std::string_view device, std::string_view job_id) {
  json::object o;
  o["e"] = event;
  o["d"] = device;
  o["id"] = job_id;
  return o;
}

// An answer's body as the store keeps it: JSON of bounded size, or null.
json::value stored_body(const std::string& body) {
  if (body.size() > JOB_ANSWER_MAX_BYTES) return nullptr;
  auto parsed = parse_strict_json(body);
  return parsed ? std::move(*parsed) : json::value(nullptr);
}

std::optional<Sha256Digest> digest_of(std::string_view hex) {
  const auto bytes = from_hex(hex);
  if (!bytes || bytes->size() != Sha256Digest{}.size()) return std::nullopt;
  Sha256Digest digest{};
  std::copy(bytes->begin(), bytes->end(), digest.begin());
  return digest;
}

// One job as the lines so far tell it.
struct Seen {
  JobRegistry::Known job;
  std::uint64_t order = 0;  // of its start line
  bool cut_told = false;
};

// Applies one line to `seen`; false when the line is not one of the store's.
bool apply_line(std::string_view line, std::map<std::string, Seen>& seen, std::uint64_t& order) {
  if (line.size() > JOB_STORE_LINE_MAX_BYTES) return false;
  const auto value = parse_strict_json(line);
  if (!value) return false;
  JsonMembers m(*value);
  const std::string event = m.text("e");
  std::string device = m.text("d");
  std::string job_id = m.text("id");
  if (!m.ok() || device.empty() || device.size() > 128 || !readable_job_id(job_id)) return false;
  std::string key = device + '\n' + job_id;
  if (event == "start") {
    const auto fingerprint = digest_of(m.text("fp"));
    const std::uint64_t accepted = m.unsigned_number("a");
    if (!m.ok() || !fingerprint || accepted > LATEST_TIME) return false;
    seen.insert_or_assign(std::move(key),
                          Seen{{std::move(device), std::move(job_id),
                                JobRecord{.fingerprint = *fingerprint, .state = JobState::Interrupted,
                                          .accepted = accepted}},
                               order++});
    return true;
  }
  if (event == "end") {
    const std::uint64_t ended = m.unsigned_number("t");
    const std::uint64_t status = m.unsigned_number("s");
    const json::value* body = m.get("b");
    if (!m.ok() || ended > LATEST_TIME || status < 100 || status > 599 || body == nullptr) return false;
    // An end whose start was cut off with the file's older part tells too
    // little to be remembered; it is still a line of the store.
    if (const auto known = seen.find(key); known != seen.end()) {
      JobRecord& record = known->second.job.record;
      record.state = JobState::Done;
      record.ended = ended;
      record.answer = JobAnswer{static_cast<unsigned>(status), body->is_null() ? "{}" : json::serialize(*body)};
    }
    return true;
  }
  if (event == "drop") {
    seen.erase(key);
    return true;
  }
  if (event == "cut") {
    if (const auto known = seen.find(key); known != seen.end()) known->second.cut_told = true;
    return true;
  }
  return false;
}

}  // namespace

std::string job_start_line(std::string_view device, std::string_view job_id, const JobRecord& record) {
  json::object o = job_members("start", device, job_id);
  o["fp"] = to_hex(record.fingerprint);
  o["a"] = record.accepted;
  return json::serialize(o);
}

std::string job_end_line(std::string_view device, std::string_view job_id, std::uint64_t ended,
                         const JobAnswer& answer) {
  json::object o = job_members("end", device, job_id);
  o["t"] = ended;
  o["s"] = answer.status;
  o["b"] = stored_body(answer.body);
  return json::serialize(o);
}

std::string job_drop_line(std::string_view device, std::string_view job_id) {
  return json::serialize(job_members("drop", device, job_id));
}

std::string job_cut_line(std::string_view device, std::string_view job_id) {
  return json::serialize(job_members("cut", device, job_id));
}

std::string job_store_text(const std::vector<JobRegistry::Known>& jobs) {
  std::string text(JOB_STORE_HEADER);
  text += '\n';
  for (const JobRegistry::Known& job : jobs) {
    text += job_start_line(job.device, job.job_id, job.record);
    text += '\n';
    if (job.record.state == JobState::Done && job.record.answer && job.record.ended) {
      text += job_end_line(job.device, job.job_id, *job.record.ended, *job.record.answer);
      text += '\n';
    } else if (job.record.state == JobState::Interrupted) {
      text += job_cut_line(job.device, job.job_id);
      text += '\n';
    }
  }
  return text;
}

JobStoreReading read_job_store(std::string_view text, bool whole) {
  JobStoreReading reading;
  if (!whole) {
    // The tail begins inside a line.
    const std::size_t first = text.find('\n');
    text = first == std::string_view::npos ? std::string_view() : text.substr(first + 1);
  } else if (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (text.substr(0, end) != JOB_STORE_HEADER) {
      // A store of another format (a later version's) is not read as this one.
      reading.unknown_format = true;
      return reading;
    }
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  std::map<std::string, Seen> seen;
  std::uint64_t order = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // A last line without its line feed was torn by a crash while written.
    const bool torn = end == std::string_view::npos;
    if (!apply_line(line, seen, order) && !torn) ++reading.unreadable;
  }
  std::vector<Seen*> ordered;
  ordered.reserve(seen.size());
  for (auto& [key, entry] : seen) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(), [](const Seen* a, const Seen* b) { return a->order < b->order; });
  reading.jobs.reserve(ordered.size());
  for (Seen* entry : ordered) {
    if (entry->job.record.state == JobState::Interrupted && !entry->cut_told) reading.untold_cuts.push_back(entry->job);
    reading.jobs.push_back(std::move(entry->job));
  }
  return reading;
}

}  // namespace zunel
