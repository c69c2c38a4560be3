#ifndef AMPERVALE_STORE_DISK_SYNC_H_
#define AMPERVALE_STORE_DISK_SYNC_H_

namespace ampervale {

// Each returns true once the data has reached stable storage, and false with
// errno set when the flush failed. One implementation per platform, chosen
// by CMake.

// Flushes a file's data and whatever is needed to read it back.
bool SyncFileData(int descriptor);

// Flushes a directory's entries, so that a rename inside it survives a
// power loss.
bool SyncDirectory(int descriptor);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_DISK_SYNC_H_
