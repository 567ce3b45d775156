#pragma once

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/ICameraFrameEffect.h"
#include "platform/gfx/Texture.h"
#include "platform/window/BubbleSurface.h"
#include "tamro/ResultCode.h"

namespace tamro::test {

// What a bubble window was shown, shared with the test after the surface is gone.
struct SurfaceLog {
    std::mutex mutex;
    int surfaces = 0;
    std::vector<bool> presents;  // shapeChanged of each present
    std::vector<std::pair<uint32_t, uint32_t>> resizes;
    std::vector<uint8_t> lastPicture;  // BGRA rows of the last present, packed
    uint32_t width = 0, height = 0;
    std::string failOpenAt;   // a step name: Open fails there
    int failPresentFrom = 0;  // 1-based present that fails, and every one after; 0 never

    size_t Presents() {
        std::lock_guard lock(mutex);
        return presents.size();
    }
    // Pixel (x, y) of the last picture, B, G, R, A.
    std::array<uint8_t, 4> Pixel(uint32_t x, uint32_t y) {
        std::lock_guard lock(mutex);
        const uint8_t* p = lastPicture.data() + (size_t{y} * width + x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
};

class FakeSurface final : public platform::window::BubbleSurface {
  public:
    explicit FakeSurface(std::shared_ptr<SurfaceLog> log) : m_log(std::move(log)) {}

    bool Open(gfx::Device* device, uint32_t width, uint32_t height,
              std::string* failedStep) override {
        std::lock_guard lock(m_log->mutex);
        ++m_log->surfaces;
        if (!m_log->failOpenAt.empty()) {
            *failedStep = m_log->failOpenAt;
            return false;
        }
        m_device = device;
        return Create(width, height);
    }
    int32_t Resize(uint32_t width, uint32_t height) override {
        std::lock_guard lock(m_log->mutex);
        m_log->resizes.emplace_back(width, height);
        return Create(width, height) ? kOk : kFail;
    }
    gfx::Texture* BackBuffer() override { return m_buffer.get(); }
    int32_t Present(bool shapeChanged) override {
        std::lock_guard lock(m_log->mutex);
        m_log->presents.push_back(shapeChanged);
        if (m_log->failPresentFrom > 0 &&
            static_cast<int>(m_log->presents.size()) >= m_log->failPresentFrom)
            return kFail;
        m_log->width = m_buffer->Width();
        m_log->height = m_buffer->Height();
        m_log->lastPicture.resize(size_t{m_log->width} * m_log->height * 4);
        for (uint32_t y = 0; y < m_log->height; ++y)
            std::memcpy(m_log->lastPicture.data() + size_t{y} * m_log->width * 4, m_buffer->Row(y),
                        m_log->width * 4);
        return kOk;
    }
    bool ShowsAlpha() const override { return true; }

  private:
    bool Create(uint32_t width, uint32_t height) {
        m_buffer.reset();
        const gfx::TextureDesc desc{.width = width,
                                    .height = height,
                                    .bindFlags = gfx::kBindRenderTarget | gfx::kBindShaderResource};
        return Succeeded(m_device->CreateTexture(desc, nullptr, 0, &m_buffer));
    }

    std::shared_ptr<SurfaceLog> m_log;
    gfx::Device* m_device = nullptr;
    std::shared_ptr<gfx::Texture> m_buffer;
};

inline platform::window::BubbleSurfaceFactory FakeSurfaces(std::shared_ptr<SurfaceLog> log) {
    return [log](uint64_t) { return std::make_unique<FakeSurface>(log); };
}

// Counts of a fake background effect, shared by every effect a factory made.
struct EffectLog {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> frames{0};
    std::atomic<bool> fail{false};
};

// Paints the whole frame one colour (B, G, R), so a test sees whether a picture went through it.
class PaintEffect final : public ICameraFrameEffect {
  public:
    PaintEffect(std::shared_ptr<EffectLog> log, gfx::Device* device, uint32_t width,
                uint32_t height, std::array<uint8_t, 3> colour)
        : m_log(std::move(log)), m_colour(colour) {
        device->CreateTexture({.width = width, .height = height}, nullptr, 0, &m_output);
        ++m_log->created;
    }
    ~PaintEffect() override { ++m_log->destroyed; }

    bool ProcessFrame(gfx::Texture* input, gfx::Texture** output) override {
        ++m_log->frames;
        if (m_log->fail || input->Width() != m_output->Width() ||
            input->Height() != m_output->Height())
            return false;
        for (uint32_t y = 0; y < m_output->Height(); ++y) {
            for (uint32_t x = 0; x < m_output->Width(); ++x) {
                uint8_t* p = m_output->Row(y) + x * 4;
                p[0] = m_colour[0], p[1] = m_colour[1], p[2] = m_colour[2], p[3] = 255;
            }
        }
        *output = m_output.get();
        return true;
    }
    void SetConfig(const BackgroundEffectConfig&) override {}
    uint64_t ProcessedFrames() const override { return static_cast<uint64_t>(m_log->frames); }
    bool IsMlAvailable() const override { return true; }

  private:
    std::shared_ptr<EffectLog> m_log;
    std::array<uint8_t, 3> m_colour;
    std::shared_ptr<gfx::Texture> m_output;
};

inline CameraEffectFactory PaintEffects(std::shared_ptr<EffectLog> log,
                                        std::array<uint8_t, 3> colour = {0, 200, 0}) {
    return [log, colour](gfx::Device* device, uint32_t width, uint32_t height,
                         const BackgroundEffectConfig&) -> std::unique_ptr<ICameraFrameEffect> {
        return std::make_unique<PaintEffect>(log, device, width, height, colour);
    };
}

}  // namespace tamro::test
