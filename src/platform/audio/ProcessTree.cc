#include "platform/audio/ProcessTree.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace tamro::platform {
namespace {

// Deeper than any real process tree; bounds the walk should /proc ever show a cycle.
constexpr int kMaxTreeDepth = 256;

}  // namespace

std::optional<uint32_t> ParseParentFromStat(std::string_view stat) {
    const size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 4 >= stat.size()) {
        return std::nullopt;
    }
    // ") S 1234 ..." : the state letter, then the parent.
    std::string_view rest = stat.substr(close + 1);
    const size_t state = rest.find_first_not_of(' ');
    if (state == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(state + 1);
    const size_t digits = rest.find_first_not_of(' ');
    if (digits == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(digits);
    uint32_t parent = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
    if (error != std::errc() || end == rest.data()) {
        return std::nullopt;
    }
    return parent;
}

std::optional<uint32_t> ParentProcessId(uint32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) {
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    return ParseParentFromStat(text.str());
}

bool IsInProcessTree(uint32_t pid, uint32_t root) {
    if (root == 0) {
        return false;
    }
    for (int depth = 0; depth < kMaxTreeDepth && pid > 1; ++depth) {
        if (pid == root) {
            return true;
        }
        const std::optional<uint32_t> parent = ParentProcessId(pid);
        if (!parent) {
            return false;
        }
        pid = *parent;
    }
    return pid == root;
}

}  // namespace tamro::platform
