#ifndef AMPERVALE_STORE_TRUSTED_GROUP_H_
#define AMPERVALE_STORE_TRUSTED_GROUP_H_

#include <sys/types.h>

namespace ampervale {

// Whether the members of `group` can become root anyway, so that a
// directory they may write is as safe as one only root may write. One
// implementation per platform, chosen by CMake.
bool IsTrustedGroup(gid_t group);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_TRUSTED_GROUP_H_
