#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/gfx/Device.h"

namespace tamro::test {

struct Bgra {
    uint8_t b = 0;
    uint8_t g = 0;
    uint8_t r = 0;
    uint8_t a = 255;
};

// A BGRA frame as the capture hands it over: a GPU texture that can be read and drawn to.
inline std::shared_ptr<gfx::Texture> SolidFrame(gfx::Device& device, uint32_t width,
                                                uint32_t height, Bgra colour,
                                                gfx::Usage usage = gfx::Usage::kDefault) {
    std::vector<Bgra> pixels(static_cast<size_t>(width) * height, colour);
    gfx::TextureDesc desc{.width = width, .height = height, .format = gfx::Format::kBGRA8};
    if (usage == gfx::Usage::kStaging) {
        desc.usage = gfx::Usage::kStaging;
        desc.cpuAccessFlags = gfx::kCpuAccessRead;
    } else {
        desc.bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget;
    }
    std::shared_ptr<gfx::Texture> texture;
    device.CreateTexture(desc, pixels.data(), width * 4, &texture);
    return texture;
}

}  // namespace tamro::test
