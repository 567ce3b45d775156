#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamro::cli {

// "12.3 MB" and the like.
std::string FormatBytes(int64_t bytes);

// The once-a-second line: "  00:07  30.0 fps  0 dropped  2.1 MB", then "  paused" while paused.
std::string FormatProgress(double elapsedSeconds, double fps, int32_t dropped, int64_t bytes,
                           bool paused = false);

// An engine line the user is told of while recording, without its tag ("system audio is back:
// the audio server returned"); nothing for the others. Losses come as errors of their own.
std::optional<std::string> UserNotice(std::string_view engineLine);

// The closing line.
std::string FormatSummary(const std::string& path, double seconds, double fps, int32_t dropped,
                          int64_t bytes);

}  // namespace tamro::cli
