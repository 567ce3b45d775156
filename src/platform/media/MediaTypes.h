#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "tamro/ResultCode.h"

namespace tamro::platform::media {

// A 16-byte identifier in the platform's in-memory layout (little-endian Data1..Data3, then
// Data4 in order), so the bytes can be stored and read back unchanged.
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    friend constexpr bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// Video subtypes share the base {XXXXXXXX-0000-0010-8000-00AA00389B71}; the first field differs.
constexpr Guid VideoSubtype(uint32_t first) {
    return Guid{first, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

inline constexpr Guid kSubtypeNV12 = VideoSubtype(0x3231564E);
inline constexpr Guid kSubtypeIYUV = VideoSubtype(0x56555949);
inline constexpr Guid kSubtypeYV12 = VideoSubtype(0x32315659);
inline constexpr Guid kSubtypeYUY2 = VideoSubtype(0x32595559);
inline constexpr Guid kSubtypeRGB32 = VideoSubtype(0x00000016);
inline constexpr Guid kSubtypeARGB32 = VideoSubtype(0x00000015);
// Compressed and audio subtypes use the same base.
inline constexpr Guid kSubtypeH264 = VideoSubtype(0x34363248);
inline constexpr Guid kSubtypeAAC = VideoSubtype(0x00001610);
inline constexpr Guid kSubtypePCM = VideoSubtype(0x00000001);

enum class MajorType : uint8_t { kNone, kVideo, kAudio };

inline constexpr uint32_t kInterlaceProgressive = 2;
inline constexpr uint32_t kYuvMatrixBT709 = 1;
inline constexpr uint32_t kPrimariesBT709 = 2;
inline constexpr uint32_t kTransferBT709 = 5;

inline constexpr uint32_t kProfileBaseline = 66;
inline constexpr uint32_t kProfileMain = 77;
inline constexpr uint32_t kProfileHigh = 100;

// Result codes of this layer, with the values the platform uses for the same situations.
inline constexpr ResultCode kPathNotFound = static_cast<ResultCode>(0x80070003);
inline constexpr ResultCode kAccessDenied = static_cast<ResultCode>(0x80070005);
inline constexpr ResultCode kNoInterface = static_cast<ResultCode>(0x80004002);
inline constexpr ResultCode kUnsupportedByteStreamType = static_cast<ResultCode>(0xC00D36C4);
inline constexpr ResultCode kInvalidMediaType = static_cast<ResultCode>(0xC00D36B4);
inline constexpr ResultCode kInvalidStreamNumber = static_cast<ResultCode>(0xC00D36B3);
inline constexpr ResultCode kInvalidRequest = static_cast<ResultCode>(0xC00D36B2);
inline constexpr ResultCode kNotInitialized = static_cast<ResultCode>(0xC00D36B6);
inline constexpr ResultCode kNoMoreTypes = static_cast<ResultCode>(0xC00D36B9);
inline constexpr ResultCode kUnsupportedFormat = static_cast<ResultCode>(0xC00D5212);
// A stream's queue is full and the writer does not throttle: the sample is refused.
inline constexpr ResultCode kQueueFull = static_cast<ResultCode>(0xC00D36BB);
inline constexpr ResultCode kShutdown = static_cast<ResultCode>(0xC00D3E85);

// The attributes of a stream type that this system sets; unset fields are 0.
struct MediaType {
    MajorType major = MajorType::kNone;
    Guid subtype;
    // Video.
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frameRateNumerator = 0;
    uint32_t frameRateDenominator = 0;
    uint32_t averageBitrate = 0;
    uint32_t interlaceMode = 0;
    uint32_t pixelAspectNumerator = 0;
    uint32_t pixelAspectDenominator = 0;
    uint32_t yuvMatrix = 0;
    uint32_t videoPrimaries = 0;
    uint32_t transferFunction = 0;
    uint32_t profile = 0;
    // Audio.
    uint32_t channels = 0;
    uint32_t samplesPerSecond = 0;
    uint32_t bitsPerSample = 0;
    uint32_t blockAlignment = 0;
    uint32_t averageBytesPerSecond = 0;

    // The H.264 profiles the encoders here produce; others are refused as an unknown value.
    ResultCode SetProfile(uint32_t value) {
        if (value != kProfileBaseline && value != kProfileMain && value != kProfileHigh)
            return kInvalidArg;
        profile = value;
        return kOk;
    }
};

}  // namespace tamro::platform::media

namespace tamro::platform::media {

// Encoder properties a writer's video stream takes before writing begins; unset ones keep the
// encoder's defaults.
struct CodecSettings {
    // 0 (fastest) to 100 (best quality).
    std::optional<uint32_t> qualityVsSpeed;
    std::optional<bool> cabacEnable;
    std::optional<uint32_t> bPictureCount;
    std::optional<uint32_t> gopSize;
};

}  // namespace tamro::platform::media
