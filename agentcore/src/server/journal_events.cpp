#include "server/journal_events.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <algorithm>
#include <map>
#include <utility>

#include "base/hex.h"
#include "base/json_members.h"

namespace zunel {
namespace {

namespace json = boost::json;

json::value parsed(std::string_view text) {
  json::error_code ec;
  json::value value = json::parse(text, ec);
  return ec ? json::value(nullptr) : value;
}

json::value or_null(const std::optional<std::string>& text) {
  return text ? json::value(*text) : json::value(nullptr);
}

// A print's answer as the journal keeps it: its body when that is JSON (a
// small one is checked in a block on the stack), otherwise null.
std::string_view answer_json(std::string_view body) {
  unsigned char block[2048];
  json::monotonic_resource memory(block, sizeof block);
  json::error_code ec;
  (void)json::parse(body, ec, &memory);
  return ec ? std::string_view("null") : body;
}

std::optional<std::string> digest_hex(const JobTrace& trace) {
  if (!trace.bytes_digest) return std::nullopt;
  return to_hex(*trace.bytes_digest);
}

}  // namespace

void ServerEvents::write(std::string_view event, const json::object& members, LineWrite how) {
  if (journal_ == nullptr) return;
  write_line(journal_line(clock_.now_secs(), event, members), how);
}

void ServerEvents::write_line(std::string line, LineWrite how) {
  switch (how) {
    case LineWrite::Queued: return journal_->record(std::move(line));
    case LineWrite::Here: return journal_->record_here(std::move(line));
  }
}

void ServerEvents::print_started(const JobTrace& trace, LineWrite how) {
  if (journal_ == nullptr) return;
  JournalLine line(clock_.now_secs(), journal_events::PRINT_START);
  line.text_or_null("job_id", trace.job_id).text("device", trace.device).time("accepted", trace.accepted);
  line.time_or_null("started", trace.started);
  // The target is the job's target_json: JSON by construction.
  line.json("target", trace.target).number("byte_count", static_cast<std::int64_t>(trace.byte_count));
  line.text_or_null("sha256", digest_hex(trace));
  write_line(std::move(line).done(), how);
}

void ServerEvents::print_ended(const JobTrace& trace, const JobAnswer& answer,
                               std::optional<std::chrono::milliseconds> sent, LineWrite how) {
  if (journal_ == nullptr) return;
  JournalLine line(clock_.now_secs(), journal_events::PRINT);
  line.text_or_null("job_id", trace.job_id).text("device", trace.device).text("label", trace.label);
  line.text("origin", trace.origin).json("target", trace.target);
  line.number("byte_count", static_cast<std::int64_t>(trace.byte_count));
  line.text_or_null("sha256", digest_hex(trace));
  line.time("accepted", trace.accepted);
  line.time_or_null("started", trace.started);
  line.time("ended", clock_.now_secs()).number("status", answer.status).json("answer", answer_json(answer.body));
  const auto waited = (trace.started ? trace.started_at : monotonic_.now()) - trace.accepted_at;
  line.number("wait_ms", waited.count());
  if (sent) line.number("send_ms", sent->count());
  else line.null("send_ms");
  write_line(std::move(line).done(), how);
}

void ServerEvents::print_repeated(const JobTrace& trace, unsigned status, JobState state) {
  json::object m;
  m["job_id"] = or_null(trace.job_id);
  m["device"] = trace.device;
  m["label"] = trace.label;
  m["status"] = status;
  m["state"] = job_state_name(state);
  write(journal_events::PRINT_REPEAT, m);
}

void ServerEvents::print_interrupted(const JobRegistry::Known& job, bool at_start) {
  json::object m;
  m["job_id"] = job.job_id;
  m["device"] = job.device;
  m["accepted"] = iso_utc(job.record.accepted);
  m["when"] = at_start ? "agent_start" : "agent_stop";
  write(journal_events::PRINT_INTERRUPTED, m);
}

void ServerEvents::printer_status(const std::string& printer, const std::string& device,
                                  const std::string& target, unsigned status, const std::string& body) {
  if (journal_ == nullptr) return;
  json::value answer = parsed(body);
  if (json::object* object = answer.if_object()) object->erase("elapsed_ms");
  std::string seen = std::to_string(status) + json::serialize(answer);
  std::uint64_t untold = 0;
  {
    std::lock_guard lock(mutex_);
    auto last = last_status_.find(printer);
    if (last != last_status_.end() && last->second.answer == seen) return;
    // The printers a machine reaches are few; a page naming many is bounded.
    if (last == last_status_.end() && last_status_.size() >= 256) last_status_.clear();
    PrinterSeen& p = last_status_[printer];
    p.answer = std::move(seen);
    const std::uint64_t minute = clock_.now_secs() / 60;
    if (minute != p.minute) {
      p.minute = minute;
      p.lines = 0;
    }
    if (p.lines >= STATUS_LINES_PER_MINUTE) {
      ++p.untold;
      return;
    }
    ++p.lines;
    untold = std::exchange(p.untold, 0);
  }
  json::object m;
  m["device"] = device;
  m["target"] = parsed(target);
  m["status"] = status;
  m["answer"] = std::move(answer);
  m["changes_untold"] = untold;
  write(journal_events::PRINTER_STATUS, m);
}

void ServerEvents::paired(const std::string& device, const std::string& origin, const std::string& label,
                          const char* source) {
  json::object m;
  m["device"] = device;
  m["origin"] = origin;
  m["label"] = label;
  m["source"] = source;
  write(journal_events::PAIRING, m);
}

void ServerEvents::revocations(std::uint64_t seq, const std::vector<std::string>& removed) {
  json::object m;
  m["seq"] = seq;
  json::array ids;
  for (const std::string& id : removed) ids.emplace_back(id);
  m["removed"] = std::move(ids);
  write(journal_events::REVOCATIONS, m);
}

void ServerEvents::refused(unsigned status, const char* reason, const std::string& origin,
                           const std::string& path) {
  if (journal_ == nullptr) return;
  std::uint64_t repeats = 0;
  {
    std::lock_guard lock(mutex_);
    const std::uint64_t minute = clock_.now_secs() / 60;
    if (minute != refusal_minute_) {
      refusal_minute_ = minute;
      refusals_this_minute_ = 0;
    }
    if (refusals_this_minute_ >= REFUSALS_PER_MINUTE) {
      ++refusals_untold_;
      return;
    }
    ++refusals_this_minute_;
    repeats = std::exchange(refusals_untold_, 0);
  }
  json::object m;
  m["status"] = status;
  m["reason"] = reason;
  // Both come from the request: kept short.
  m["origin"] = origin.substr(0, 200);
  m["path"] = path.substr(0, 200);
  m["repeats"] = repeats;
  write(journal_events::REFUSED, m);
}

void restore_jobs(JobRegistry& jobs, const std::vector<std::string>& lines) {
  struct Seen {
    std::string device;
    std::string job_id;
    JobRecord record;
    bool started = false;
  };
  std::map<std::string, Seen> seen;  // device and job id -> the last word on it
  for (const std::string& line : lines) {
    const json::value value = parsed(line);
    const json::object* o = value.if_object();
    if (o == nullptr) continue;
    const json::value* event = o->if_contains("event");
    const json::value* job_id = o->if_contains("job_id");
    const json::value* device = o->if_contains("device");
    const json::value* target = o->if_contains("target");
    const json::value* digest = o->if_contains("sha256");
    const json::value* accepted = o->if_contains("accepted");
    if (!event || !event->is_string() || !job_id || !job_id->is_string() || !device ||
        !device->is_string() || !target || !digest || !digest->is_string() || !accepted ||
        !accepted->is_string()) {
      continue;
    }
    const bool start = event->get_string() == journal_events::PRINT_START;
    if (!start && event->get_string() != journal_events::PRINT) continue;
    const auto bytes_digest = from_hex(digest->get_string());
    if (!bytes_digest || bytes_digest->size() != 32) continue;
    Sha256Digest d{};
    std::copy(bytes_digest->begin(), bytes_digest->end(), d.begin());
    Seen entry{std::string(device->get_string()), std::string(job_id->get_string()), {}, start};
    entry.record.fingerprint = job_fingerprint(json::serialize(*target), d);
    if (!parse_iso_utc(accepted->get_string(), entry.record.accepted)) continue;
    entry.record.state = JobState::Interrupted;
    if (!start) {
      const json::value* started = o->if_contains("started");
      const json::value* status = o->if_contains("status");
      const json::value* answer = o->if_contains("answer");
      const json::value* ended = o->if_contains("ended");
      entry.started = started && started->is_string();
      std::uint64_t ended_secs = 0;
      // A status that is not an HTTP status (a damaged or forged line)
      // makes the line unreadable.
      const std::optional<std::uint64_t> code = status ? json_unsigned(*status) : std::nullopt;
      if (!code || *code < 100 || *code > 599 || !answer || !ended || !ended->is_string() ||
          !parse_iso_utc(ended->get_string(), ended_secs)) {
        continue;
      }
      entry.record.state = JobState::Done;
      entry.record.ended = ended_secs;
      entry.record.answer = JobAnswer{static_cast<unsigned>(*code), json::serialize(*answer)};
    }
    std::string key = entry.device + '\n' + entry.job_id;
    seen.insert_or_assign(std::move(key), std::move(entry));
  }
  // Oldest first, so that the registry's own order follows the journal's.
  std::vector<const Seen*> ordered;
  for (const auto& [key, entry] : seen) {
    if (entry.started) ordered.push_back(&entry);
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const Seen* a, const Seen* b) { return a->record.accepted < b->record.accepted; });
  for (const Seen* entry : ordered) jobs.restore(entry->device, entry->job_id, entry->record);
}

}  // namespace zunel
