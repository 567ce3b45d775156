#include "platform/gfx/DeviceContext.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::gfx {

namespace {

bool BoxInside(const Box& box, const Texture& texture) {
    return box.left < box.right && box.top < box.bottom && box.front == 0 && box.back == 1 &&
           box.right <= texture.Width() && box.bottom <= texture.Height();
}

void CopyRows(Texture* destination, uint32_t dstX, uint32_t dstY, const Texture* source,
              const Box& box) {
    const uint32_t bpp = BytesPerPixel(source->Desc().format);
    const size_t rowBytes = static_cast<size_t>(box.right - box.left) * bpp;
    for (uint32_t y = box.top; y < box.bottom; ++y) {
        // memmove: a copy within one texture may overlap.
        std::memmove(destination->Row(dstY + (y - box.top)) + static_cast<size_t>(dstX) * bpp,
                     source->Row(y) + static_cast<size_t>(box.left) * bpp, rowBytes);
    }
}

uint8_t ToUnorm8(float value) {
    return static_cast<uint8_t>(std::clamp(value, 0.0f, 1.0f) * 255.0f + 0.5f);
}

void FillPixel(uint8_t* pixel, Format format, const float rgba[4]) {
    switch (format) {
        case Format::kBGRA8:
            pixel[0] = ToUnorm8(rgba[2]);
            pixel[1] = ToUnorm8(rgba[1]);
            pixel[2] = ToUnorm8(rgba[0]);
            pixel[3] = ToUnorm8(rgba[3]);
            break;
        case Format::kRGBA8:
            for (int i = 0; i < 4; ++i)
                pixel[i] = ToUnorm8(rgba[i]);
            break;
        case Format::kR8G8:
            pixel[1] = ToUnorm8(rgba[1]);
            [[fallthrough]];
        case Format::kR8:
            pixel[0] = ToUnorm8(rgba[0]);
            break;
        case Format::kR32F:
            std::memcpy(pixel, &rgba[0], sizeof(float));
            break;
    }
}

}  // namespace

void DeviceContext::SetFaults(bool failMap, bool faultWork) {
    m_failMap.store(failMap);
    m_faultWork.store(faultWork);
}

void DeviceContext::CheckWorkFault() const {
    if (m_faultWork.load())
        throw DeviceFault("GPU work faulted in the device");
}

int32_t DeviceContext::CopyResource(Texture* destination, Texture* source) {
    if (!destination || !source)
        return kPointer;
    if (destination->Width() != source->Width() || destination->Height() != source->Height() ||
        destination->Desc().format != source->Desc().format) {
        return kInvalidArg;
    }
    std::lock_guard lock(m_mutex);
    CheckWorkFault();
    if (destination == source)
        return kOk;
    if (destination->RowPitch() == source->RowPitch()) {
        std::memcpy(destination->Data(), source->Data(),
                    static_cast<size_t>(source->RowPitch()) * source->Height());
    } else {
        CopyRows(destination, 0, 0, source, Box{0, 0, 0, source->Width(), source->Height(), 1});
    }
    return kOk;
}

int32_t DeviceContext::CopySubresourceRegion(Texture* destination, uint32_t dstX, uint32_t dstY,
                                             Texture* source, const Box* box) {
    if (!destination || !source)
        return kPointer;
    const Box region = box ? *box : Box{0, 0, 0, source->Width(), source->Height(), 1};
    if (!BoxInside(region, *source) || destination->Desc().format != source->Desc().format ||
        dstX + (region.right - region.left) > destination->Width() ||
        dstY + (region.bottom - region.top) > destination->Height()) {
        return kInvalidArg;
    }
    std::lock_guard lock(m_mutex);
    CheckWorkFault();
    CopyRows(destination, dstX, dstY, source, region);
    return kOk;
}

int32_t DeviceContext::UpdateSubresource(Texture* destination, const Box* box, const void* data,
                                         uint32_t rowPitch) {
    if (!destination || !data)
        return kPointer;
    const Box region = box ? *box : Box{0, 0, 0, destination->Width(), destination->Height(), 1};
    const uint32_t bpp = BytesPerPixel(destination->Desc().format);
    const size_t rowBytes = static_cast<size_t>(region.right - region.left) * bpp;
    if (!BoxInside(region, *destination) || rowPitch < rowBytes)
        return kInvalidArg;
    std::lock_guard lock(m_mutex);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t y = region.top; y < region.bottom; ++y) {
        std::memcpy(destination->Row(y) + static_cast<size_t>(region.left) * bpp,
                    bytes + static_cast<size_t>(y - region.top) * rowPitch, rowBytes);
    }
    return kOk;
}

int32_t DeviceContext::Map(Texture* texture, MapType type, MappedSubresource* mapped) {
    if (!texture || !mapped)
        return kPointer;
    const TextureDesc& desc = texture->Desc();
    const uint32_t needed = type == MapType::kRead    ? kCpuAccessRead
                            : type == MapType::kWrite ? kCpuAccessWrite
                                                      : kCpuAccessRead | kCpuAccessWrite;
    if (desc.usage != Usage::kStaging || (desc.cpuAccessFlags & needed) != needed) {
        return kInvalidArg;
    }
    std::lock_guard lock(m_mutex);
    if (m_failMap.load() || texture->IsMapped())
        return kFail;
    texture->SetMapped(true);
    mapped->data = texture->Data();
    mapped->rowPitch = texture->RowPitch();
    return kOk;
}

void DeviceContext::Unmap(Texture* texture) {
    if (!texture)
        return;
    std::lock_guard lock(m_mutex);
    texture->SetMapped(false);
}

int32_t DeviceContext::ClearRenderTarget(Texture* texture, const float rgba[4]) {
    if (!texture || !rgba)
        return kPointer;
    if (!(texture->Desc().bindFlags & kBindRenderTarget))
        return kInvalidArg;
    const Format format = texture->Desc().format;
    const uint32_t bpp = BytesPerPixel(format);
    uint8_t pixel[4] = {};
    FillPixel(pixel, format, rgba);
    // A colour of equal bytes (transparent black, white) is a plain fill of each row.
    const bool uniform =
        std::all_of(pixel + 1, pixel + bpp, [&](uint8_t b) { return b == pixel[0]; });
    std::lock_guard lock(m_mutex);
    for (uint32_t y = 0; y < texture->Height(); ++y) {
        uint8_t* row = texture->Row(y);
        if (uniform) {
            std::memset(row, pixel[0], size_t{texture->Width()} * bpp);
            continue;
        }
        for (uint32_t x = 0; x < texture->Width(); ++x)
            std::memcpy(row + x * bpp, pixel, bpp);
    }
    return kOk;
}

namespace {

// Below this many rows a band costs more in hand-over than it saves.
constexpr uint32_t kMinBandRows = 64;
constexpr unsigned kMaxThreads = 4;
// Several bands a thread: the caller takes the next band while a worker is still waking, so the
// wake-up no longer delays the end of the dispatch by its whole length.
constexpr unsigned kBandsPerThread = 8;
constexpr unsigned kMaxBands = kMaxThreads * kBandsPerThread;

}  // namespace

int32_t DeviceContext::Dispatch(const Kernel& kernel, const KernelArgs& args) {
    CheckWorkFault();
    std::lock_guard lock(m_mutex);
    const uint32_t rows = kernel.Rows(args);
    const unsigned bands = std::min<uint32_t>(Threads() * kBandsPerThread, rows / kMinBandRows);
    if (bands <= 1 || Threads() <= 1)
        return kernel.Run(args);
    std::array<int32_t, kMaxBands> results{};
    Pool().Run(bands, [&](unsigned band) {
        results[band] = kernel.Run(args, {rows * band / bands, rows * (band + 1) / bands});
    });
    for (unsigned band = 0; band < bands; ++band) {
        if (results[band] != kOk)
            return results[band];
    }
    return kOk;
}

void DeviceContext::SetParallelism(unsigned threads) {
    std::lock_guard lock(m_mutex);
    m_parallelism = std::clamp(threads, 1u, kMaxThreads);
    m_pool.reset();
}

unsigned DeviceContext::Threads() {
    // Asked of the system once, not on every dispatch: it reads the online processors each time.
    if (m_parallelism == 0)
        m_parallelism = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    return m_parallelism;
}

WorkerPool& DeviceContext::Pool() {
    if (!m_pool)
        m_pool = std::make_unique<WorkerPool>(Threads() - 1);
    return *m_pool;
}

}  // namespace tamro::gfx
