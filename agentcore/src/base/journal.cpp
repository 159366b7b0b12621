#include "base/journal.h"

#include <boost/json/serialize.hpp>
#include <chrono>
#include <cstdio>

namespace zunel {

std::string iso_utc(std::uint64_t secs) {
  using namespace std::chrono;
  const sys_seconds time{seconds(static_cast<std::int64_t>(secs))};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
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

}  // namespace zunel
