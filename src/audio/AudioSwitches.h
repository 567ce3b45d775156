#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tamro {

// The environment switches of the audio capture, read when a capture opens or starts: a manual
// timestamp trim, the drift servo and the microphone's raw stream.
struct AudioSwitches {
    int64_t ptsTrimMs = 0;  // TAMRO_AUDIO_PTS_OFFSET_MS, within ±500
    bool servo = true;      // TAMRO_AUDIO_DRIFT
    bool micRaw = true;     // TAMRO_MIC_RAW

    static AudioSwitches Read();

    // From the values as read (nothing when unset or too long).
    static int64_t ParsePtsTrimMs(const std::optional<std::string>& value);
    // Off only for a 1- to 7-character value starting with '0'.
    static bool ParseOnUnlessZero(const std::optional<std::string>& value);
};

}  // namespace tamro
