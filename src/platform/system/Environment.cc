#include "platform/system/Environment.h"

#include <cstdlib>
#include <cstring>

namespace tamro::platform {

std::optional<std::string> ReadEnvironment(const char* name, std::size_t bufferChars) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::size_t length = std::strlen(value);
    if (length >= bufferChars) {
        return std::nullopt;
    }
    return std::string(value, length);
}

std::optional<std::filesystem::path> LocalAppDataFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return std::filesystem::path(dataHome);
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::filesystem::path(home) / ".local" / "share";
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> ExecutableDirectory() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !executable.has_parent_path()) {
        return std::nullopt;
    }
    return executable.parent_path();
}

}  // namespace tamro::platform
