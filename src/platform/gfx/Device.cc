#include "platform/gfx/Device.h"

#include <unistd.h>

#include <cstring>

#include "diag/Log.h"
#include "platform/gfx/SharedTextureTable.h"
#include "shaders/KernelRegistry.h"
#include "tamro/ResultCode.h"

namespace tamro::gfx {

namespace {

bool ValidDesc(const TextureDesc& desc) {
    if (desc.width == 0 || desc.height == 0 || desc.width > 16384 || desc.height > 16384) {
        return false;
    }
    if (desc.mipLevels != 1 || desc.arraySize != 1 || desc.sampleCount != 1)
        return false;
    // Staging textures are CPU-side only, default ones are not CPU-accessible.
    if (desc.usage == Usage::kStaging)
        return desc.bindFlags == kBindNone && desc.cpuAccessFlags;
    return desc.cpuAccessFlags == kCpuAccessNone;
}

uint64_t PhysicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * pageSize : 0;
}

}  // namespace

Device::Device(Key, DriverType type)
    : m_type(type), m_memoryInUse(std::make_shared<std::atomic<uint64_t>>(0)) {}

std::shared_ptr<Device> Device::Create(DriverType type, int32_t* result) {
    if (result)
        *result = kOk;
    return std::make_shared<Device>(Key(), type);
}

int32_t Device::CreateTexture(const TextureDesc& desc, const void* initialData,
                              uint32_t initialPitch, std::shared_ptr<Texture>* texture) {
    if (!texture || !ValidDesc(desc))
        return kInvalidArg;
    texture->reset();
    if (m_failTextureCreation.load())
        return kOutOfMemory;
    auto storage = TextureStorage::Allocate(desc);
    if (!storage)
        return kOutOfMemory;
    if (initialData) {
        const uint32_t row = desc.width * BytesPerPixel(desc.format);
        if (initialPitch < row)
            return kInvalidArg;
        for (uint32_t y = 0; y < desc.height; ++y) {
            std::memcpy(
                storage->data() + static_cast<size_t>(y) * storage->rowPitch(),
                static_cast<const uint8_t*>(initialData) + static_cast<size_t>(y) * initialPitch,
                row);
        }
    }
    std::shared_ptr<KeyedMutex> keyedMutex;
    uint64_t handle = 0;
    if (desc.miscFlags & (kMiscShared | kMiscSharedKeyedMutex)) {
        if (desc.miscFlags & kMiscSharedKeyedMutex)
            keyedMutex = std::make_shared<KeyedMutex>();
        handle = SharedTextureTable::Instance().Register(desc, storage, keyedMutex);
    }
    *texture = std::make_shared<Texture>(desc, std::move(storage), std::move(keyedMutex), handle,
                                         m_memoryInUse);
    return kOk;
}

int32_t Device::WrapTexture(const TextureDesc& desc, uint8_t* data, uint32_t rowPitch,
                            std::function<void()> release, std::shared_ptr<Texture>* texture) {
    if (!texture || !data || !ValidDesc(desc) ||
        rowPitch < desc.width * BytesPerPixel(desc.format)) {
        return kInvalidArg;
    }
    auto storage = TextureStorage::Wrap(data, rowPitch, static_cast<size_t>(rowPitch) * desc.height,
                                        std::move(release));
    *texture = std::make_shared<Texture>(desc, std::move(storage), nullptr, 0, nullptr);
    return kOk;
}

int32_t Device::OpenSharedTexture(uint64_t handle, std::shared_ptr<Texture>* texture) {
    if (!texture)
        return kPointer;
    texture->reset();
    TextureDesc desc;
    std::shared_ptr<TextureStorage> storage;
    std::shared_ptr<KeyedMutex> keyedMutex;
    if (!SharedTextureTable::Instance().Lookup(handle, &desc, &storage, &keyedMutex)) {
        return kInvalidArg;
    }
    *texture =
        std::make_shared<Texture>(desc, std::move(storage), std::move(keyedMutex), handle, nullptr);
    return kOk;
}

int32_t Device::CompileKernel(std::string_view name, const Kernel** kernel) {
    if (!kernel)
        return kPointer;
    *kernel = shaders::FindKernel(name);
    if (*kernel)
        return kOk;
    LogLine("[gfx] kernel compile error: no kernel named '%.*s'\n", static_cast<int>(name.size()),
            name.data());
    return kFail;
}

AdapterMemoryInfo Device::QueryAdapterMemory() const {
    AdapterMemoryInfo info;
    info.sharedSystemMemory = PhysicalMemoryBytes() / 2;
    info.budget = info.sharedSystemMemory;
    info.currentUsage = m_memoryInUse->load();
    return info;
}

std::shared_ptr<Adapter> Device::Adapter3() {
    if (m_noAdapter3.load())
        return nullptr;
    std::lock_guard lock(m_adapterMutex);
    if (!m_adapter) {
        m_adapter =
            std::make_shared<Adapter>(platform::CpuLoad::ReadProcStat, m_failVideoMemoryQuery);
    }
    return m_adapter;
}

void Device::SetFaults(const DeviceFaults& faults) {
    m_failTextureCreation.store(faults.failTextureCreation);
    m_noAdapter3.store(faults.noAdapter3);
    m_failVideoMemoryQuery->store(faults.failVideoMemoryQuery);
    m_context.SetFaults(faults.failMap, faults.faultWork);
}

}  // namespace tamro::gfx
