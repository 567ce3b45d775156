#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/media/EncoderList.h"
#include "platform/media/MediaTypes.h"

namespace tamro {

// The process-wide answer to "in which format do frames go to this machine's H.264 encoder":
// found once by discovery (the first encoder that takes the output size and rate, preferring NV12,
// then the first YUV format it offers, then the first RGB one), kept for the process and stored in
// <local app data>/Tamro/encoder_cache.bin so later processes skip discovery.
// Threading: every operation may be called from any thread; the public ones take the cache mutex
// for their whole check-discover-save sequence.
class EncoderFormatCache {
  public:
    static constexpr int32_t kCacheVersion = 2;

    // Fills the cache (from the file, else by discovery at 1920x1080, 30 fps) if empty.
    static void PreWarm(const platform::media::EncoderList& encoders);
    // The cached subtype, else the file's, else discovery with these values (saved on success).
    static bool SelectInputSubtype(const platform::media::EncoderList& encoders, uint32_t width,
                                   uint32_t height, uint32_t fps, platform::media::Guid* subtype);
    // The friendly name of the encoder discovery found; empty when the format came from the file.
    static std::string EncoderName();

    // The steps, exposed for tests. FindCompatibleEncoder expects the mutex held by its caller.
    static bool FindCompatibleEncoder(const platform::media::EncoderList& encoders, uint32_t width,
                                      uint32_t height, uint32_t fps,
                                      platform::media::Guid* subtype);
    // False for a missing, short, old or damaged file, which discovery then replaces.
    static bool LoadEncoderCache(platform::media::Guid* subtype);
    // One of the formats the writer takes frames in.
    static bool IsInputSubtype(const platform::media::Guid& subtype);
    static void SaveEncoderCache(const platform::media::Guid& subtype);
    // Empty when there is no local application data folder.
    static std::filesystem::path CacheFilePath();

  private:
    static void Store(const platform::media::Guid& subtype);

    static std::mutex s_encoderCacheMutex;
    static bool s_hasCachedInputSubtype;
    static platform::media::Guid s_cachedInputSubtype;
    static std::string s_encoderName;
};

}  // namespace tamro
