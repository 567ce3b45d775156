// The converted person-segmentation networks, run by the engine's own runtime layer: against the
// reference interpreter's outputs, and on a photograph of a person.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "effects/SegmentationModel.h"
#include "platform/imaging/PngFile.h"
#include "platform/ml/InferenceSession.h"
#include "platform/system/Environment.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

namespace fs = std::filesystem;

const fs::path kChecks = TAMRO_MODEL_CHECK;

std::vector<float> ReadFloats(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

fs::path ModelFile(const std::string& network) {
    const fs::path models = *platform::ExecutableDirectory() / "models";
    return models / (network == "landscape" ? "selfie_segmentation.onnx"
                                            : "selfie_segmentation_" + network + ".onnx");
}

TEST(SelfieModelTest, TheRuntimeAgreesWithTheReferenceInterpreter) {
    std::ifstream shapes(kChecks / "shapes.txt");
    if (!shapes)
        GTEST_SKIP() << "no converted networks: scripts/bootstrap.sh fetches them";
    std::string line;
    int compared = 0;
    while (std::getline(shapes, line)) {
        std::istringstream fields(line);
        std::string network;
        int64_t height = 0, width = 0;
        if (!(fields >> network >> height >> width))
            continue;
        auto session = platform::ml::InferenceSession::Open(ModelFile(network), {"test", 2});
        EXPECT_EQ(session->InputShape(), (std::vector<int64_t>{1, height, width, 3}));
        for (const char* input : {"random", "photo"}) {
            const fs::path stem = kChecks / (network + "_" + input);
            if (!fs::exists(stem.string() + "_input.f32"))
                continue;
            const std::vector<float> in = ReadFloats(stem.string() + "_input.f32");
            const std::vector<float> expected = ReadFloats(stem.string() + "_expected.f32");
            std::vector<float> out;
            const int64_t shape[] = {1, height, width, 3};
            session->Run(in, shape, &out);
            ASSERT_EQ(out.size(), expected.size()) << network << " " << input;
            float worst = 0;
            for (size_t i = 0; i < out.size(); ++i)
                worst = std::max(worst, std::fabs(out[i] - expected[i]));
            EXPECT_LT(worst, 1e-3f) << network << " " << input;
            ++compared;
        }
    }
    EXPECT_GE(compared, 2);
}

// The photograph's boxes (x0, y0, x1, y1 of 512 x 512): the face and the suit's chest, and the
// flag, the wall, the model shuttle and the right wall behind.
struct PhotoBox {
    int x0, y0, x1, y1;
};
constexpr PhotoBox kPerson[] = {{185, 60, 265, 145}, {60, 280, 260, 420}};
constexpr PhotoBox kBackground[] = {
    {0, 0, 70, 220}, {305, 10, 350, 160}, {370, 0, 460, 260}, {470, 10, 510, 260}};

TEST(SelfieModelTest, TheMaskCoversThePersonOfAPhotographAndNotTheRoom) {
    platform::imaging::Picture photo;
    if (platform::imaging::PngFile::Read(TAMRO_TEST_PHOTO, &photo) !=
        platform::imaging::ImageStatus::kOk)
        GTEST_SKIP() << "no test photograph: scripts/bootstrap.sh fetches it";
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    gfx::TextureDesc desc{.width = photo.width, .height = photo.height};
    desc.bindFlags = gfx::kBindShaderResource;
    std::shared_ptr<gfx::Texture> frame;
    ASSERT_EQ(device->CreateTexture(desc, nullptr, 0, &frame), kOk);
    for (uint32_t y = 0; y < photo.height; ++y)
        for (uint32_t x = 0; x < photo.width; ++x) {
            const uint8_t* rgba = photo.Pixel(x, y);
            uint8_t* bgra = frame->Row(y) + x * 4;
            bgra[0] = rgba[2], bgra[1] = rgba[1], bgra[2] = rgba[0], bgra[3] = 255;
        }

    SegmentationModel model;
    ASSERT_TRUE(model.Initialize(device.get()));
    gfx::Texture* mask = nullptr;
    ASSERT_TRUE(model.Run(frame.get(), &mask));
    // Boxes of the photograph in the model's letterboxed space.
    const float s = std::min(float(model.ModelWidth()) / photo.width,
                             float(model.ModelHeight()) / photo.height);
    const float ox = (model.ModelWidth() - photo.width * s) / 2;
    const float oy = (model.ModelHeight() - photo.height * s) / 2;
    auto mean = [&](const PhotoBox& box) {
        double sum = 0;
        int count = 0;
        for (int y = int(box.y0 * s + oy); y < int(box.y1 * s + oy); ++y)
            for (int x = int(box.x0 * s + ox); x < int(box.x1 * s + ox); ++x, ++count)
                sum += reinterpret_cast<const float*>(mask->Row(y))[x];
        return sum / count;
    };
    for (const PhotoBox& box : kPerson)
        EXPECT_GT(mean(box), 0.9) << box.x0 << "," << box.y0;
    double background = 0;
    for (const PhotoBox& box : kBackground) {
        EXPECT_LT(mean(box), 0.5) << box.x0 << "," << box.y0;
        background += mean(box) / std::size(kBackground);
    }
    EXPECT_LT(background, 0.1);
}

}  // namespace
}  // namespace tamro
