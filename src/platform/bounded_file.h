#pragma once
// Reading a file the user names (the configuration, the accounts file) that can only be small:
// reading stops one byte past the bound, so that a device or a pipe that never ends (or a
// huge file given by mistake) is refused instead of filling the memory.

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace vellicor {

// 1 MiB: many thousand accounts or settings lines.
inline constexpr std::size_t kMostSettingsBytes = 1024 * 1024;

// The whole file; an Io error when it cannot be opened or read, TooLarge when it holds more
// than `most` bytes (read up to one byte more, never further). The messages name no path: the
// caller says which file.
Result<std::string> readBoundedFile(const std::string& path, std::size_t most = kMostSettingsBytes);

}  // namespace vellicor
