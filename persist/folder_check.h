// The test a persistence folder must pass before the store uses it: the
// settings loader makes it (so that pendrakel-host --check and start-up
// say the same), and opening the folder makes it again. A pure function of
// the file system; any thread.
#ifndef PENDRAKEL_PERSIST_FOLDER_CHECK_H_
#define PENDRAKEL_PERSIST_FOLDER_CHECK_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace pendrakel {

// Longest folder path, in bytes.
inline constexpr size_t kMaxDataFolderBytes = 255;

// Why `folder` cannot hold the store's files ("does not exist", "is not a
// folder", "is not writable (Permission denied)", ...), or an empty text
// when it can: an absolute path of at most kMaxDataFolderBytes bytes,
// without control characters, naming an existing folder (possibly through a
// symbolic link) that this process may create files in.
std::string CheckDataFolder(std::string_view folder);

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_FOLDER_CHECK_H_
