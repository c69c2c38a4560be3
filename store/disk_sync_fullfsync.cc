#include <fcntl.h>
#include <unistd.h>

#include "store/disk_sync.h"

namespace ampervale {

// fsync() here only hands the data to the drive, whose cache can still lose
// it on power loss; F_FULLFSYNC asks the drive to write it out. File systems
// without F_FULLFSYNC (network shares) get the best they offer.
bool SyncFileData(int descriptor) {
  return fcntl(descriptor, F_FULLFSYNC) == 0 || fsync(descriptor) == 0;
}

bool SyncDirectory(int descriptor) { return SyncFileData(descriptor); }

}  // namespace ampervale
