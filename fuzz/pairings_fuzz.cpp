// The pairing store's file on any bytes: the reader must never crash; what it
// accepts must be written and read back to the same text, and loading the
// agent's state from it must succeed (stored devices with bad tokens are
// dropped, they never stop the agent). Only accepted files are loaded: a
// load saves the store with a flush to disk, which would otherwise slow the
// run a hundredfold, and a refused file only takes the empty-store path.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "security/pairing_store.h"
#include "security/persisted.h"
#include "temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zunel;
  using zunel::fuzzing::require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto persisted = parse_persisted(text);
  if (!persisted) return 0;
  const std::string written = write_persisted(*persisted);
  auto again = parse_persisted(written);
  require(again.has_value(), "a written store is refused by its own reader");
  require(write_persisted(*again) == written, "a store changes through writing and reading");

  static zunel::fuzzing::FuzzServices services;
  const auto dir = zunel::fuzzing::run_dir();
  zunel::testing::write_file(dir / std::string(PAIRINGS_FILE_NAME), text);
  auto loaded = load_state(dir, "1.0.1", services.services(), "[]");
  require(loaded.ok(), "a stored file stopped the state from loading");
  return 0;
}
