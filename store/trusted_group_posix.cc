#include "store/trusted_group.h"

namespace ampervale {

bool IsTrustedGroup(gid_t group) { return group == 0; }

}  // namespace ampervale
