#pragma once
// `report`: a text for support, safe to paste into a ticket. It names the
// version and build, where the agent keeps its data, how it starts at logon,
// who answers on the agent's two ports, the paired devices (never their
// tokens), the printers and the last journal entries. Every time in it is
// local time with its offset from UTC.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_commands.h"
#include "main/journal_log.h"

namespace zunel {

// A paired device as the report shows it: what the control channel's
// "info" tells of it, which never includes its token.
struct ReportDevice {
  std::string id;
  std::string label;
  std::string origin;
  std::string source;
  std::optional<std::uint64_t> created;
  std::optional<std::uint64_t> expira;
};

struct ReportFacts {
  std::string version;
  std::string build;  // this executable's build identity
  // When the report was made, and the moment every time shown is read as:
  // local time with its offset from UTC.
  std::uint64_t now = 0;
  std::function<std::string(std::uint64_t secs)> time_text = system_local_time_with_offset;
  std::string executable;
  std::string erp_domain;
  std::vector<std::string> key_ids;
  std::string signature;  // from BUILD-INFO.txt beside the executable, or why unknown
  std::string data_dir;
  std::string autostart;         // whether the Startup entry exists, and where
  std::string autostart_target;  // what it starts, or why that is unknown
  std::string http_port;         // who answers on 47631
  std::string control_port;      // who answers on 47632
  // Only when this user's agent answered "info".
  std::optional<std::vector<ReportDevice>> devices;
  std::vector<std::string> printers;  // one line each, or the reason there are none
  // The journal's last entries, one line each; nothing when there is none.
  std::optional<std::vector<std::string>> journal;
  // The job store: how many jobs it holds and how many lines it could not read.
  std::string job_store;
};

// How many journal entries the report shows.
inline constexpr std::size_t REPORT_JOURNAL_ENTRIES = 30;

// Looks at this machine, as `link` reaches the running agent.
ReportFacts gather_report_facts(std::string_view version, const ControlLink& link);

// The report's text, ending in a line feed.
std::string support_report(const ReportFacts& facts);

}  // namespace zunel
