#pragma once
// What an accepted provisioning ticket grants: the business and ERP user the
// device is provisioned for.

#include <string>

namespace zunel {

struct TicketClaims {
  std::string user_sub;    // the ticket's "sub"; empty when it had none
  std::string negocio_id;  // never empty for an accepted ticket
};

}  // namespace zunel
