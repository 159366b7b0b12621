#include "base/journal.h"

#include <boost/json/serialize.hpp>
#include <algorithm>
#include <chrono>
#include <string>

namespace zunel {

std::string iso_utc(std::uint64_t secs) {
  using namespace std::chrono;
  const sys_seconds time{seconds(static_cast<std::int64_t>(secs))};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{time - day};
  const int year = static_cast<int>(date.year());
  std::string text = "0000-00-00T00:00:00Z";
  // Every print's lines hold several of these: the digits are put in place
  // rather than formatted. A year past 9999 keeps all its digits.
  const auto put = [&text](std::size_t end, unsigned value) {
    for (std::size_t i = end; value > 0 || i == end; value /= 10) text[--i] = static_cast<char>('0' + value % 10);
  };
  if (year > 9999) text.insert(0, std::to_string(year / 10000));
  const std::size_t at = text.size() - 20;  // the extra digits of the year
  put(at + 4, static_cast<unsigned>(year % 10000));
  put(at + 7, static_cast<unsigned>(date.month()));
  put(at + 10, static_cast<unsigned>(date.day()));
  put(at + 13, static_cast<unsigned>(clock.hours().count()));
  put(at + 16, static_cast<unsigned>(clock.minutes().count()));
  put(at + 19, static_cast<unsigned>(clock.seconds().count()));
  return text;
}

bool parse_iso_utc(std::string_view text, std::uint64_t& secs) {
  using namespace std::chrono;
  // "YYYY-MM-DDTHH:MM:SSZ"
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return false;
  }
  const auto number = [text](std::size_t at, std::size_t length, int& out) {
    out = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!number(0, 4, y) || !number(5, 2, mo) || !number(8, 2, d) || !number(11, 2, h) ||
      !number(14, 2, mi) || !number(17, 2, s)) {
    return false;
  }
  const year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!date.ok() || y < 1970 || h > 23 || mi > 59 || s > 59) return false;
  const auto since = sys_days(date).time_since_epoch() + hours(h) + minutes(mi) + seconds(s);
  secs = static_cast<std::uint64_t>(duration_cast<seconds>(since).count());
  return true;
}

std::string journal_line(std::uint64_t now, std::string_view event, const boost::json::object& members) {
  // Written member by member: no copy of the members into another object.
  std::string line = "{\"t\":\"" + iso_utc(now) + "\",\"event\":";
  line += boost::json::serialize(boost::json::string_view(event.data(), event.size()));
  for (const auto& member : members) {
    line += ',';
    line += boost::json::serialize(member.key());
    line += ':';
    line += boost::json::serialize(member.value());
  }
  line += '}';
  return line;
}

JournalLine::JournalLine(std::uint64_t now, std::string_view event) {
  line_.reserve(512);
  line_ += "{";
  time("t", now);
  text("event", event);
}

void JournalLine::key(std::string_view key) {
  if (line_.size() > 1) line_ += ',';
  quoted(key);
  line_ += ':';
}

// Most texts need no escape: they are copied as they are; the others go
// through boost::json, which escapes them.
void JournalLine::quoted(std::string_view value) {
  const bool plain = std::none_of(value.begin(), value.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (!plain) {
    line_ += boost::json::serialize(boost::json::string_view(value.data(), value.size()));
    return;
  }
  line_ += '"';
  line_ += value;
  line_ += '"';
}

JournalLine& JournalLine::text(std::string_view k, std::string_view value) {
  key(k);
  quoted(value);
  return *this;
}

JournalLine& JournalLine::text_or_null(std::string_view k, const std::optional<std::string>& value) {
  return value ? text(k, *value) : null(k);
}

JournalLine& JournalLine::time(std::string_view k, std::uint64_t secs_since_epoch) {
  return text(k, iso_utc(secs_since_epoch));
}

JournalLine& JournalLine::time_or_null(std::string_view k, const std::optional<std::uint64_t>& secs_since_epoch) {
  return secs_since_epoch ? time(k, *secs_since_epoch) : null(k);
}

JournalLine& JournalLine::number(std::string_view k, std::int64_t value) {
  key(k);
  line_ += std::to_string(value);
  return *this;
}

JournalLine& JournalLine::null(std::string_view k) { return json(k, "null"); }

JournalLine& JournalLine::json(std::string_view k, std::string_view json) {
  key(k);
  line_ += json.empty() ? std::string_view("null") : json;  // never a line that is not JSON
  return *this;
}

std::string JournalLine::done() && {
  line_ += '}';
  return std::move(line_);
}

}  // namespace zunel
