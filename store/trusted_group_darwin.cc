#include "store/trusted_group.h"

namespace ampervale {

namespace {

// "admin": its members may use sudo, and own parts of /Library by default.
constexpr gid_t kAdminGroup = 80;

}  // namespace

bool IsTrustedGroup(gid_t group) { return group == 0 || group == kAdminGroup; }

}  // namespace ampervale
