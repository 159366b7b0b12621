#include "printing/print_target.h"

#include "base/overloaded.h"

namespace zunel {

bool speaks_directly(const PrintTarget& target) {
  return std::visit(Overloaded{
                        [](const PrintTarget::Network&) { return true; },
                        [](const PrintTarget::Usb&) { return false; },
                        [](const PrintTarget::Serial&) { return true; },
                        [](const PrintTarget::WinSpool&) { return false; },
                    },
                    target.kind);
}

}  // namespace zunel
