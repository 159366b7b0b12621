#include "base/connection_owner.h"

namespace zunel {

bool same_owner(const ConnectionOwner& a, const ConnectionOwner& b) {
  if (const auto* x = std::get_if<PosixUser>(&a)) {
    const auto* y = std::get_if<PosixUser>(&b);
    return y != nullptr && x->uid == y->uid;
  }
  if (const auto* x = std::get_if<WindowsSession>(&a)) {
    const auto* y = std::get_if<WindowsSession>(&b);
    return y != nullptr && x->session_id == y->session_id && x->user_sid == y->user_sid;
  }
  return false;  // unknown: never the same as anyone
}

}  // namespace zunel
