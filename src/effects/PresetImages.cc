#include "effects/PresetImages.h"

#include <array>

#include "diag/Log.h"
#include "platform/imaging/JpegFile.h"
#include "platform/system/Environment.h"
#include "tamro/ResultCode.h"

namespace tamro {

namespace {

constexpr std::array<const char*, 3> kFolders = {
    "Assets/backgrounds",
    "backgrounds",
    "../../Assets/backgrounds",
};

std::optional<std::filesystem::path> FindImage(const std::filesystem::path& base,
                                               const char* name) {
    for (const char* folder : kFolders) {
        std::error_code error;
        std::filesystem::path path = base / folder / name;
        if (std::filesystem::is_regular_file(path, error))
            return path;
    }
    return std::nullopt;
}

std::shared_ptr<gfx::Texture> Upload(gfx::Device* device,
                                     const platform::imaging::Picture& picture) {
    gfx::TextureDesc desc;
    desc.width = picture.width;
    desc.height = picture.height;
    desc.format = gfx::Format::kRGBA8;
    desc.bindFlags = gfx::kBindShaderResource;
    std::shared_ptr<gfx::Texture> texture;
    if (device->CreateTexture(desc, picture.rgba.data(), picture.Stride(), &texture) != kOk)
        return nullptr;
    return texture;
}

}  // namespace

bool PresetImages::Locate(gfx::Device* device,
                          const std::optional<std::filesystem::path>& executableDirectory) {
    m_device = device;
    const std::optional<std::filesystem::path> base =
        executableDirectory ? executableDirectory : platform::ExecutableDirectory();
    if (!base) {
        LogLine("[BackgroundEffectProcessor] Failed to get module path\n");
        return false;
    }
    bool any = false;
    for (size_t i = 0; i < kImagePresetFiles.size(); ++i) {
        m_paths[i] = FindImage(*base, kImagePresetFiles[i]);
        if (!m_paths[i])
            LogLine("[BackgroundEffectProcessor] Image not found: %s\n", kImagePresetFiles[i]);
        any = any || m_paths[i];
    }
    return any;
}

void PresetImages::Prepare(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(m_paths.size()) || !m_paths[index] || Get(index))
        return;
    platform::imaging::Picture picture;
    const platform::imaging::ImageStatus status =
        platform::imaging::JpegFile::Read(m_paths[index]->string(), &picture);
    if (status != platform::imaging::ImageStatus::kOk) {
        LogLine("[BackgroundEffectProcessor] Failed to load %s: %s\n", m_paths[index]->c_str(),
                platform::imaging::ImageStatusName(status));
        return;
    }
    std::shared_ptr<gfx::Texture> texture = Upload(m_device, picture);
    std::lock_guard lock(m_mutex);
    m_images[index] = std::move(texture);
}

std::shared_ptr<gfx::Texture> PresetImages::Get(int32_t index) const {
    if (index < 0 || index >= static_cast<int32_t>(m_images.size()))
        return nullptr;
    std::lock_guard lock(m_mutex);
    return m_images[index];
}

}  // namespace tamro
