#include "router/router_place.h"

#include <cstdlib>

#include "base/build_config.h"

namespace zunel {
namespace {

const char* test_directory() {
  if (!test_hooks_enabled()) return nullptr;
  const char* dir = std::getenv("ZUNEL_TEST_ROUTER_DIR");
  return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

constexpr std::uint32_t GROUP_OR_OTHER_WRITE = 0022;

}  // namespace

std::filesystem::path router_directory() {
  if (const char* dir = test_directory()) return dir;
  return "/run/zunel-print-agent";
}

std::filesystem::path router_socket_path() { return router_directory() / "router.sock"; }

std::optional<std::string> router_place_refused(const PlaceFacts& directory, const PlaceFacts& socket,
                                                std::uint32_t peer_uid, std::uint32_t owner) {
  if (!directory.directory) return "no es un directorio";
  if (directory.owner != owner) return "el directorio no es del administrador";
  if ((directory.mode & GROUP_OR_OTHER_WRITE) != 0) return "otros usuarios pueden escribir en el directorio";
  if (!socket.socket) return "router.sock no es un socket";
  if (socket.owner != owner) return "router.sock no es del administrador";
  if (peer_uid != owner) return "el proceso que escucha en router.sock no es del administrador";
  return std::nullopt;
}

}  // namespace zunel
