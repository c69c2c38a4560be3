#include <unistd.h>

#include "store/disk_sync.h"

namespace ampervale {

bool SyncFileData(int descriptor) { return fdatasync(descriptor) == 0; }

// A directory's entries are its metadata, which fdatasync may skip.
bool SyncDirectory(int descriptor) { return fsync(descriptor) == 0; }

}  // namespace ampervale
