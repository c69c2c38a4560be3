/* The one call of libSystem's membership services that the backend uses,
   declared from Apple's published signature for the cross check. */
#ifndef AMPERVALE_APPLE_SDK_MEMBERSHIP_H_
#define AMPERVALE_APPLE_SDK_MEMBERSHIP_H_

#include <sys/cdefs.h>
#include <sys/types.h>
#include <uuid/uuid.h>

#define ID_TYPE_UID 0
#define ID_TYPE_GID 1

__BEGIN_DECLS
int mbr_uuid_to_id(const uuid_t uu, id_t* id, int* id_type);
__END_DECLS

#endif
