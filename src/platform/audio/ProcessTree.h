#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tamro::platform {

// Parent of a running process, from /proc; nothing when the process is gone or unreadable.
std::optional<uint32_t> ParentProcessId(uint32_t pid);

// The parent id in the text of /proc/<pid>/stat (the command name may hold spaces and brackets).
std::optional<uint32_t> ParseParentFromStat(std::string_view stat);

// True when `pid` is `root` or one of its descendants.
bool IsInProcessTree(uint32_t pid, uint32_t root);

}  // namespace tamro::platform
