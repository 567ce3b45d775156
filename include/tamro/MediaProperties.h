#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace tamro {

// Subtypes of AudioEncodingProperties.
inline constexpr std::string_view kPcmSubtype = "PCM";      // signed integer samples
inline constexpr std::string_view kFloatSubtype = "Float";  // 32-bit float samples

// The format of an audio stream as a media pipeline and an effect agree on it.
struct AudioEncodingProperties {
    std::string Subtype{kPcmSubtype};
    uint32_t SampleRate = 0;
    uint32_t ChannelCount = 0;
    uint32_t BitsPerSample = 0;

    static AudioEncodingProperties CreatePcm(uint32_t sampleRate, uint32_t channelCount,
                                             uint32_t bitsPerSample) {
        return {std::string(kPcmSubtype), sampleRate, channelCount, bitsPerSample};
    }
    bool operator==(const AudioEncodingProperties&) const = default;
};

// Configuration a host hands to a media extension: typed values by name.
using PropertyValue = std::variant<bool, int32_t, uint32_t, int64_t, double, std::string>;
using PropertySet = std::map<std::string, PropertyValue, std::less<>>;

}  // namespace tamro
