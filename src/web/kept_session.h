#pragma once
// The file a remembered login is kept in (session.remember): written whole or not at all,
// 0600 in a 0700 folder, and gone from the disk once remembering is off.

#include <string>

namespace vellicor::web {

// Writes `bytes` beside the file, then renames it over; on any failure the file keeps what it
// had and nothing is left beside it. False when the bytes are not in place.
bool writeKeptSession(const std::string& path, const std::string& bytes);

// Deletes the file and anything a write left beside it.
void dropKeptSession(const std::string& path);

// The data folder's "session" when remembering, else "": then a session an earlier start kept
// there is deleted, so that with remembering off nothing of a login stays on disk.
std::string keptSessionPath(const std::string& dataFolder, bool remember);

}  // namespace vellicor::web
