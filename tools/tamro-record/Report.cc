#include "Report.h"

#include <cctype>
#include <cstdio>

namespace tamro::cli {

std::string FormatBytes(int64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string FormatProgress(double elapsedSeconds, double fps, int32_t dropped, int64_t bytes,
                           bool paused) {
    const auto whole = static_cast<int64_t>(elapsedSeconds);
    char text[96];
    std::snprintf(text, sizeof text, "  %02lld:%02lld  %5.1f fps  %d dropped  %s%s",
                  static_cast<long long>(whole / 60), static_cast<long long>(whole % 60), fps,
                  dropped, FormatBytes(bytes).c_str(), paused ? "  paused" : "");
    return text;
}

std::string FormatSummary(const std::string& path, double seconds, double fps, int32_t dropped,
                          int64_t bytes) {
    char text[512];
    std::snprintf(text, sizeof text, "Recorded %.1f s at %.1f fps, %d dropped, %s: %s", seconds,
                  fps, dropped, FormatBytes(bytes).c_str(), path.c_str());
    return text;
}

std::optional<std::string> UserNotice(std::string_view engineLine) {
    static constexpr std::string_view kTag = "[AudioCapture] ";
    static constexpr std::string_view kSaid[] = {"System audio follows the new default output",
                                                 "System audio is back: ", "Microphone is back: "};
    if (!engineLine.starts_with(kTag)) {
        return std::nullopt;
    }
    std::string_view text = engineLine.substr(kTag.size());
    text = text.substr(0, text.find_last_not_of('\n') + 1);
    for (std::string_view said : kSaid) {
        if (text.starts_with(said)) {
            std::string notice(text);
            notice[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(notice[0])));
            return notice;
        }
    }
    return std::nullopt;
}

}  // namespace tamro::cli
