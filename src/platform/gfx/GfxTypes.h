#pragma once

#include <cstdint>

namespace tamro::gfx {

class Device;
class DeviceContext;
class Texture;
class Kernel;

enum class Format : uint8_t { kBGRA8, kRGBA8, kR8, kR8G8, kR32F };

constexpr uint32_t BytesPerPixel(Format format) {
    switch (format) {
        case Format::kR8:
            return 1;
        case Format::kR8G8:
            return 2;
        case Format::kBGRA8:
        case Format::kRGBA8:
        case Format::kR32F:
            return 4;
    }
    return 4;
}

enum class Usage : uint8_t { kDefault, kStaging };

// Bind, CPU-access and misc flags are kept as data: the CPU device honours only the rules that
// callers can observe (staging textures map, default ones do not; shared ones have a handle).
enum BindFlags : uint32_t {
    kBindNone = 0,
    kBindShaderResource = 1u << 0,
    kBindRenderTarget = 1u << 1,
    kBindUnorderedAccess = 1u << 2,
};
enum CpuAccessFlags : uint32_t {
    kCpuAccessNone = 0,
    kCpuAccessRead = 1u << 0,
    kCpuAccessWrite = 1u << 1,
};
enum MiscFlags : uint32_t {
    kMiscNone = 0,
    kMiscShared = 1u << 0,
    kMiscSharedKeyedMutex = 1u << 1,
};

struct TextureDesc {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t mipLevels = 1;
    uint32_t arraySize = 1;
    Format format = Format::kBGRA8;
    uint32_t sampleCount = 1;
    Usage usage = Usage::kDefault;
    uint32_t bindFlags = kBindNone;
    uint32_t cpuAccessFlags = kCpuAccessNone;
    uint32_t miscFlags = kMiscNone;
};

// Half-open pixel box; front/back are kept for the 3-D form callers pass (0 and 1).
struct Box {
    uint32_t left = 0;
    uint32_t top = 0;
    uint32_t front = 0;
    uint32_t right = 0;
    uint32_t bottom = 0;
    uint32_t back = 1;
};

enum class MapType : uint8_t { kRead, kWrite, kReadWrite };

struct MappedSubresource {
    uint8_t* data = nullptr;
    uint32_t rowPitch = 0;
};

// Result codes the device returns besides the common ones.
inline constexpr int32_t kWaitTimeout = 0x00000102;
inline constexpr int32_t kWaitAbandoned = 0x00000080;
inline constexpr int32_t kDeviceRemoved = static_cast<int32_t>(0x887A0005);

}  // namespace tamro::gfx
