#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "effects/EffectPresets.h"
#include "platform/gfx/Device.h"

namespace tamro {

// The thirteen preset background pictures, as RGBA8 textures on one device. Each is decoded when
// first chosen rather than all at start: thirteen full-HD pictures would hold over 100 MB for
// the one on screen.
// Threading: Locate once; Prepare from the configuration thread and Get from the frame thread
// may run at the same time.
class PresetImages {
  public:
    // Finds the files in "Assets/backgrounds", "backgrounds" or "../../Assets/backgrounds" under
    // `executableDirectory` (unset: the executable's folder), saying which are missing. True
    // when at least one is there.
    bool Locate(gfx::Device* device,
                const std::optional<std::filesystem::path>& executableDirectory);

    // Decodes preset `index` unless it is loaded, missing or out of the table.
    void Prepare(int32_t index);

    // Null when preset `index` is not loaded.
    std::shared_ptr<gfx::Texture> Get(int32_t index) const;

  private:
    gfx::Device* m_device = nullptr;
    std::array<std::optional<std::filesystem::path>, kImagePresetFiles.size()> m_paths;
    mutable std::mutex m_mutex;
    std::array<std::shared_ptr<gfx::Texture>, kImagePresetFiles.size()> m_images;  // under m_mutex
};

}  // namespace tamro
