// Draws the preset background pictures into a folder:
//   tamro-backgrounds <output folder>
// Run by the build; deterministic, so every build makes the same pictures.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Canvas.h"
#include "Scenes.h"
#include "platform/imaging/JpegFile.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kQuality = 90;

bool Draw(const tamro::backgrounds::Scene& scene, const std::filesystem::path& folder) {
    tamro::backgrounds::Canvas canvas(kWidth, kHeight);
    scene.draw(canvas);
    const std::string path = (folder / scene.fileName).string();
    const auto status =
        tamro::platform::imaging::JpegFile::Write(path, canvas.ToPicture(), kQuality);
    if (status != tamro::platform::imaging::ImageStatus::kOk) {
        std::fprintf(stderr, "tamro-backgrounds: %s: %s\n", path.c_str(),
                     tamro::platform::imaging::ImageStatusName(status));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tamro-backgrounds <output folder>\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);

    // The scenes are independent; one worker per processor keeps the build step short.
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
        workers.emplace_back([&] {
            for (size_t scene = next++; scene < std::size(tamro::backgrounds::kScenes);
                 scene = next++) {
                if (!Draw(tamro::backgrounds::kScenes[scene], folder))
                    failed = true;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    return failed ? 1 : 0;
}
