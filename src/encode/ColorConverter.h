#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"

namespace tamro {

// Turns BGRA frames of one fixed, even size into NV12 images the CPU can read: the conversion runs
// as the device's "BgraToNv12" kernel, which writes its luma and chroma planes straight into one
// of two staging images (the plane textures are views of the image's rows). The two images
// alternate, so the caller may still read the previous image while the next frame converts; on
// the CPU device there is no copy beyond the conversion itself.
// A frame that spans the image along one axis and is shorter along the other (a recorded window
// that became narrower) is converted straight into the middle of the image between black bars,
// which spares the encoder a letterboxing copy.
// Threading: used from the encoder's frame-writing thread only.
class ColorConverter {
  public:
    ColorConverter() = default;
    ColorConverter(const ColorConverter&) = delete;
    ColorConverter& operator=(const ColorConverter&) = delete;

    bool Initialize(gfx::Device* device, uint32_t width, uint32_t height);
    // On success `nv12Out` is the staging image (luma rows, then interleaved chroma rows) that
    // the caller maps for reading and unmaps.
    bool Convert(gfx::Texture* input, gfx::Texture** nv12Out);

    bool IsInitialized() const { return m_initialized; }
    // True for a frame of this size that Convert takes: the image's own size, or a letterboxed one.
    bool Accepts(uint32_t width, uint32_t height) const;

  private:
    // The frame's rectangle in the image; the plane views cover just this rectangle.
    struct Placement {
        uint32_t left = 0;
        uint32_t top = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        bool operator==(const Placement&) const = default;
    };

    Placement PlacementFor(uint32_t width, uint32_t height) const;
    bool Place(size_t index, const Placement& placement);
    void FillBlack(gfx::Texture* image);
    bool CreateShaders();
    bool CreateStagingTextures();
    bool CreatePlaneView(const std::shared_ptr<gfx::Texture>& image, uint32_t firstRow,
                         uint32_t firstByte, uint32_t width, uint32_t height, gfx::Format format,
                         std::shared_ptr<gfx::Texture>* view, const char* failureLine);

    gfx::Device* m_device = nullptr;
    gfx::DeviceContext* m_context = nullptr;
    const gfx::Kernel* m_computeShader = nullptr;
    // Two NV12 images (luma rows, then chroma rows) and views of their planes for the kernel.
    std::array<std::shared_ptr<gfx::Texture>, 2> m_nv12Staging;
    std::array<std::shared_ptr<gfx::Texture>, 2> m_yTexture;
    std::array<std::shared_ptr<gfx::Texture>, 2> m_uvTexture;
    std::array<Placement, 2> m_placement;
    uint32_t m_writeIndex = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    bool m_initialized = false;
};

}  // namespace tamro
