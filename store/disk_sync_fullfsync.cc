#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "store/disk_sync.h"

namespace ampervale {

// fsync() here only hands the data to the drive, whose cache can still lose
// it on power loss; F_FULLFSYNC asks the drive to write it out. A file
// system that does not offer F_FULLFSYNC (a network share) says so with one
// of these, and gets the best it offers; any other failure (EIO, EINTR, a
// full disk) is the flush failing and must not pass as done.
bool SyncFileData(int descriptor) {
  if (fcntl(descriptor, F_FULLFSYNC) == 0) return true;
  if (errno != ENOTTY && errno != ENOTSUP && errno != EINVAL) return false;
  return fsync(descriptor) == 0;
}

bool SyncDirectory(int descriptor) { return SyncFileData(descriptor); }

}  // namespace ampervale
