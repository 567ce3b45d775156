#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/gfx/Adapter.h"
#include "platform/gfx/DeviceContext.h"
#include "platform/gfx/GfxTypes.h"
#include "platform/gfx/Kernel.h"
#include "platform/gfx/Texture.h"

namespace tamro::gfx {

// Two creation attempts as on the platform: a hardware adapter, then the software rasteriser.
// Both are the CPU device here; the distinction keeps callers' fall-back paths testable.
enum class DriverType : uint8_t { kHardware, kWarp };

struct AdapterMemoryInfo {
    uint64_t dedicatedVideoMemory = 0;
    uint64_t sharedSystemMemory = 0;
    uint64_t budget = 0;
    uint64_t currentUsage = 0;
};

// Switches that make the device fail like a broken driver would, for tests.
struct DeviceFaults {
    bool failTextureCreation = false;
    bool failMap = false;
    // Copies and kernel dispatches throw DeviceFault, as faulting GPU work would raise a
    // structured exception.
    bool faultWork = false;
    // The device has no adapter with a memory-budget query, as on an older system.
    bool noAdapter3 = false;
    // The adapter's video-memory query fails.
    bool failVideoMemoryQuery = false;
};

// The CPU graphics device: creates textures and kernels; all drawing goes through its context.
// Threading: every method may be called from any thread.
class Device {
  public:
    struct Key {
      private:
        Key() = default;
        friend class Device;
    };
    Device(Key, DriverType type);

    // Null with `*result` set when creation fails (never for the CPU device unless injected).
    static std::shared_ptr<Device> Create(DriverType type, int32_t* result = nullptr);

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    DriverType Type() const { return m_type; }
    DeviceContext& ImmediateContext() { return m_context; }

    // `initialData` (may be null) holds desc.height rows `initialPitch` bytes apart.
    int32_t CreateTexture(const TextureDesc& desc, const void* initialData, uint32_t initialPitch,
                          std::shared_ptr<Texture>* texture);
    // A texture over memory the caller keeps alive until `release` runs.
    int32_t WrapTexture(const TextureDesc& desc, uint8_t* data, uint32_t rowPitch,
                        std::function<void()> release, std::shared_ptr<Texture>* texture);
    // Opens a texture another device shared; it aliases the same pixels and keyed mutex.
    int32_t OpenSharedTexture(uint64_t handle, std::shared_ptr<Texture>* texture);
    // kFail (with the name in the log) when no kernel of that name exists, as a compile error.
    int32_t CompileKernel(std::string_view name, const Kernel** kernel);

    // Memory held by this device's textures, against half the machine's memory.
    AdapterMemoryInfo QueryAdapterMemory() const;
    // The adapter with the memory-budget query; null when the device has none.
    std::shared_ptr<Adapter> Adapter3();

    void SetFaults(const DeviceFaults& faults);

  private:
    DriverType m_type;
    DeviceContext m_context;
    std::shared_ptr<std::atomic<uint64_t>> m_memoryInUse;
    std::atomic<bool> m_failTextureCreation{false};
    std::atomic<bool> m_noAdapter3{false};
    const std::shared_ptr<std::atomic<bool>> m_failVideoMemoryQuery =
        std::make_shared<std::atomic<bool>>(false);
    std::mutex m_adapterMutex;
    std::shared_ptr<Adapter> m_adapter;  // made on first use: it starts a load interval
};

}  // namespace tamro::gfx
