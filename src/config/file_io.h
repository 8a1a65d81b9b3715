#pragma once
#include <string>

namespace vr {

enum class FileRead { kOk, kMissing, kUnreadable };

// Reads a whole file; kMissing when it (or its directory) does not exist,
// kUnreadable when it is there but cannot be read.
FileRead ReadFileBytes(const std::string& path, std::string& out);

// The text of EIniWrite for a file that could not be written.
std::string IniWriteMessage(const std::string& path, const std::string& reason);

}  // namespace vr
