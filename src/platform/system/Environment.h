#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace tamro::platform {

// Reads an environment switch into a buffer of `bufferChars` characters, terminator included: a
// value of `bufferChars` or more characters does not fit and is treated as absent, exactly as a
// fixed-size read that reports "buffer too small" would be.
std::optional<std::string> ReadEnvironment(const char* name, std::size_t bufferChars);

// The user's local application data folder: $XDG_DATA_HOME when it is an absolute path, else
// $HOME/.local/share. Nothing when neither can be resolved.
std::optional<std::filesystem::path> LocalAppDataFolder();

// The folder of the running executable (from /proc/self/exe); nothing when it cannot be read.
std::optional<std::filesystem::path> ExecutableDirectory();

}  // namespace tamro::platform
