#pragma once
// The per-user data directory, which holds the control token and, in its
// "agent" subdirectory, the pairing store.

#include <filesystem>
#include <string>

#include "base/outcome.h"
#include "base/random_source.h"

namespace zunel {

inline constexpr const char* CONTROL_TOKEN_MISSING =
    "El agente no está corriendo (no hay token de control). Ejecuta 'zunel-print-agent run' "
    "primero.";

// The roaming application-data folder + Zunel/PrintAgent/data, or the
// temporary-files fallback when there is none. Never fails, creates nothing.
std::filesystem::path resolve_data_dir();

// The data directory's "agent" subdirectory.
std::filesystem::path state_dir_of(const std::filesystem::path& data_dir);

// Makes a fresh control token (32 random bytes as 64 lower-case hex digits),
// writes it to `data_dir`/control.token replacing any earlier one, and returns
// it. Fails with the random source's or the file system's error text.
[[nodiscard]] Outcome<std::string> prepare_control_token(const std::filesystem::path& data_dir,
                                                         RandomSource& random);

// Reads the control token back, trimmed of white space. Fails with
// CONTROL_TOKEN_MISSING when the file is missing, unreadable or not UTF-8.
[[nodiscard]] Outcome<std::string> read_control_token(const std::filesystem::path& data_dir);

}  // namespace zunel
