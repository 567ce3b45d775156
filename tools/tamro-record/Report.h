#pragma once

#include <cstdint>
#include <string>

namespace tamro::cli {

// "12.3 MB" and the like.
std::string FormatBytes(int64_t bytes);

// The once-a-second line: "  00:07  30.0 fps  0 dropped  2.1 MB", then "  paused" while paused.
std::string FormatProgress(double elapsedSeconds, double fps, int32_t dropped, int64_t bytes,
                           bool paused = false);

// The closing line.
std::string FormatSummary(const std::string& path, double seconds, double fps, int32_t dropped,
                          int64_t bytes);

}  // namespace tamro::cli
