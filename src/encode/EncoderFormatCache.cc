#include "encode/EncoderFormatCache.h"

#include <array>
#include <fstream>
#include <optional>
#include <vector>

#include "diag/Log.h"
#include "platform/system/Environment.h"

namespace tamro {

namespace media = platform::media;

std::mutex EncoderFormatCache::s_encoderCacheMutex;
bool EncoderFormatCache::s_hasCachedInputSubtype = false;
media::Guid EncoderFormatCache::s_cachedInputSubtype;
std::string EncoderFormatCache::s_encoderName;

namespace {

constexpr uint32_t kPreWarmWidth = 1920;
constexpr uint32_t kPreWarmHeight = 1080;
constexpr uint32_t kPreWarmFps = 30;

bool IsYuv(const media::Guid& subtype) {
    return subtype == media::kSubtypeIYUV || subtype == media::kSubtypeYV12 ||
           subtype == media::kSubtypeYUY2;
}

bool IsRgb(const media::Guid& subtype) {
    return subtype == media::kSubtypeRGB32 || subtype == media::kSubtypeARGB32;
}

media::MediaType DiscoveryOutputType(uint32_t width, uint32_t height, uint32_t fps) {
    return media::MediaType{
        .major = media::MajorType::kVideo,
        .subtype = media::kSubtypeH264,
        .width = width,
        .height = height,
        .frameRateNumerator = fps,
        .frameRateDenominator = 1,
        // 8 Mbit/s at 30 fps, scaled with the rate.
        .averageBitrate = static_cast<uint32_t>(static_cast<uint64_t>(fps) * 8'000'000 / 30),
        .interlaceMode = media::kInterlaceProgressive};
}

// NV12 when offered, else the first YUV format seen, else the first RGB one.
std::optional<media::Guid> ChooseInput(media::EncoderTransform& transform) {
    bool hasNv12 = false;
    std::optional<media::Guid> yuv;
    std::optional<media::Guid> rgb;
    media::Guid subtype;
    for (uint32_t i = 0; Succeeded(transform.GetInputAvailableType(i, &subtype)); ++i) {
        if (subtype == media::kSubtypeNV12)
            hasNv12 = true;
        else if (IsYuv(subtype) && !yuv)
            yuv = subtype;
        else if (IsRgb(subtype) && !rgb)
            rgb = subtype;
    }
    if (hasNv12)
        return media::kSubtypeNV12;
    return yuv ? yuv : rgb;
}

void PutLittleEndian(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian(const uint8_t* in, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

std::array<uint8_t, 16> GuidBytes(const media::Guid& guid) {
    std::array<uint8_t, 16> bytes{};
    PutLittleEndian(bytes.data(), guid.data1, 4);
    PutLittleEndian(bytes.data() + 4, guid.data2, 2);
    PutLittleEndian(bytes.data() + 6, guid.data3, 2);
    std::copy(guid.data4.begin(), guid.data4.end(), bytes.begin() + 8);
    return bytes;
}

media::Guid GuidFromBytes(const std::array<uint8_t, 16>& bytes) {
    media::Guid guid;
    guid.data1 = GetLittleEndian(bytes.data(), 4);
    guid.data2 = static_cast<uint16_t>(GetLittleEndian(bytes.data() + 4, 2));
    guid.data3 = static_cast<uint16_t>(GetLittleEndian(bytes.data() + 6, 2));
    std::copy(bytes.begin() + 8, bytes.end(), guid.data4.begin());
    return guid;
}

}  // namespace

std::filesystem::path EncoderFormatCache::CacheFilePath() {
    const std::optional<std::filesystem::path> folder = platform::LocalAppDataFolder();
    if (!folder)
        return {};
    const std::filesystem::path tamro = *folder / "Tamro";
    // A fresh account may have no data folder yet either: create the whole chain.
    std::error_code ignored;
    std::filesystem::create_directories(tamro, ignored);
    return tamro / "encoder_cache.bin";
}

bool EncoderFormatCache::FindCompatibleEncoder(const media::EncoderList& encoders, uint32_t width,
                                               uint32_t height, uint32_t fps,
                                               media::Guid* subtype) {
    std::vector<std::unique_ptr<media::EncoderActivation>> found;
    const uint32_t flags =
        media::kEnumSync | media::kEnumAsync | media::kEnumHardware | media::kEnumSortAndFilter;
    if (Failed(encoders.Enumerate(flags, &found)) || found.empty()) {
        LogLine("[Encoder] No H.264 encoders found!\n");
        return false;
    }
    for (uint32_t i = 0; i < found.size(); ++i) {
        const std::string name = found[i]->FriendlyName().value_or("Unknown");
        std::unique_ptr<media::EncoderTransform> transform;
        const ResultCode activated = found[i]->Activate(&transform);
        if (Failed(activated)) {
            LogLine("[Encoder] Failed to activate encoder %u: 0x%08X\n", i,
                    static_cast<uint32_t>(activated));
            continue;
        }
        const ResultCode set = transform->SetOutputType(DiscoveryOutputType(width, height, fps));
        if (Failed(set)) {
            LogLine("[Encoder] Failed to set output type: 0x%08X\n", static_cast<uint32_t>(set));
            continue;
        }
        if (const std::optional<media::Guid> chosen = ChooseInput(*transform)) {
            *subtype = *chosen;
            s_encoderName = name;
            return true;
        }
    }
    LogLine("[Encoder] No encoder with compatible input format found\n");
    return false;
}

bool EncoderFormatCache::IsInputSubtype(const media::Guid& subtype) {
    for (const media::Guid& known :
         {media::kSubtypeNV12, media::kSubtypeIYUV, media::kSubtypeYV12, media::kSubtypeYUY2,
          media::kSubtypeRGB32, media::kSubtypeARGB32}) {
        if (subtype == known)
            return true;
    }
    return false;
}

bool EncoderFormatCache::LoadEncoderCache(media::Guid* subtype) {
    const std::filesystem::path path = CacheFilePath();
    if (path.empty())
        return false;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::array<uint8_t, 4> versionBytes{};
    file.read(reinterpret_cast<char*>(versionBytes.data()), versionBytes.size());
    const auto version =
        file.gcount() == 4 ? static_cast<int32_t>(GetLittleEndian(versionBytes.data(), 4)) : 0;
    if (version != kCacheVersion) {
        LogLine("[Encoder] Disk cache version mismatch, will rediscover\n");
        return false;
    }
    std::array<uint8_t, 16> guidBytes{};
    file.read(reinterpret_cast<char*>(guidBytes.data()), guidBytes.size());
    if (file.gcount() != 16)
        return false;
    const media::Guid stored = GuidFromBytes(guidBytes);
    // A damaged file would otherwise fail every recording until someone deleted it.
    if (!IsInputSubtype(stored)) {
        LogLine("[Encoder] Disk cache holds no known input format, will rediscover\n");
        return false;
    }
    *subtype = stored;
    return true;
}

void EncoderFormatCache::SaveEncoderCache(const media::Guid& subtype) {
    const std::filesystem::path path = CacheFilePath();
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        LogLine("[Encoder] Failed to open cache file for writing\n");
        return;
    }
    std::array<uint8_t, 4> version{};
    PutLittleEndian(version.data(), static_cast<uint32_t>(kCacheVersion), 4);
    const std::array<uint8_t, 16> guid = GuidBytes(subtype);
    file.write(reinterpret_cast<const char*>(version.data()), version.size());
    file.write(reinterpret_cast<const char*>(guid.data()), guid.size());
}

void EncoderFormatCache::Store(const media::Guid& subtype) {
    s_cachedInputSubtype = subtype;
    s_hasCachedInputSubtype = true;
}

void EncoderFormatCache::PreWarm(const media::EncoderList& encoders) {
    std::lock_guard lock(s_encoderCacheMutex);
    if (s_hasCachedInputSubtype)
        return;
    media::Guid subtype;
    if (LoadEncoderCache(&subtype)) {
        Store(subtype);
        return;
    }
    if (FindCompatibleEncoder(encoders, kPreWarmWidth, kPreWarmHeight, kPreWarmFps, &subtype)) {
        Store(subtype);
        SaveEncoderCache(subtype);
        return;
    }
    LogLine("[Encoder] Pre-warm failed - will retry on first recording\n");
}

bool EncoderFormatCache::SelectInputSubtype(const media::EncoderList& encoders, uint32_t width,
                                            uint32_t height, uint32_t fps, media::Guid* subtype) {
    std::lock_guard lock(s_encoderCacheMutex);
    if (s_hasCachedInputSubtype) {
        *subtype = s_cachedInputSubtype;
        return true;
    }
    if (LoadEncoderCache(subtype)) {
        Store(*subtype);
        return true;
    }
    if (!FindCompatibleEncoder(encoders, width, height, fps, subtype))
        return false;
    Store(*subtype);
    SaveEncoderCache(*subtype);
    return true;
}

std::string EncoderFormatCache::EncoderName() {
    std::lock_guard lock(s_encoderCacheMutex);
    return s_encoderName;
}

}  // namespace tamro
