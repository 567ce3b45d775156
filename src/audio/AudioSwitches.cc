#include "audio/AudioSwitches.h"

#include <algorithm>
#include <cstdlib>

#include "platform/system/Environment.h"

namespace tamro {
namespace {

constexpr size_t kSwitchBufferChars = 8;
constexpr size_t kPtsTrimBufferChars = 16;
constexpr int64_t kMaxPtsTrimMs = 500;

}  // namespace

AudioSwitches AudioSwitches::Read() {
    return {
        .ptsTrimMs = ParsePtsTrimMs(
            platform::ReadEnvironment("TAMRO_AUDIO_PTS_OFFSET_MS", kPtsTrimBufferChars)),
        .servo =
            ParseOnUnlessZero(platform::ReadEnvironment("TAMRO_AUDIO_DRIFT", kSwitchBufferChars)),
        .micRaw = ParseOnUnlessZero(platform::ReadEnvironment("TAMRO_MIC_RAW", kSwitchBufferChars)),
    };
}

int64_t AudioSwitches::ParsePtsTrimMs(const std::optional<std::string>& value) {
    if (!value || value->empty()) {
        return 0;
    }
    // As a base-10 long: leading blanks and a sign, digits up to the first other character.
    const long ms = std::strtol(value->c_str(), nullptr, 10);
    return std::clamp<int64_t>(ms, -kMaxPtsTrimMs, kMaxPtsTrimMs);
}

bool AudioSwitches::ParseOnUnlessZero(const std::optional<std::string>& value) {
    return !(value && !value->empty() && value->size() < kSwitchBufferChars && (*value)[0] == '0');
}

}  // namespace tamro
