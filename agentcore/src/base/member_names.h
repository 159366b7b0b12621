#pragma once
// The set of member names seen in one JSON object, used by every reader to
// refuse a member given twice.
//
// The hash is keyed with a secret drawn once per process (SipHash-2-4), so a
// page cannot choose thousands of names that all land in one bucket and turn
// the duplicate check quadratic again; with a fixed hash such names can be
// computed offline.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace zunel {

class KeyedStringHash {
 public:
  using Key = std::array<std::uint8_t, 16>;

  // With the process's secret key, drawn from the system's generator on
  // first use.
  KeyedStringHash();
  // With a given key, for tests.
  explicit KeyedStringHash(const Key& key) : key_(key) {}

  std::size_t operator()(std::string_view text) const;

 private:
  Key key_;
};

using MemberNameSet = std::unordered_set<std::string, KeyedStringHash>;

}  // namespace zunel
