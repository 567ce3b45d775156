#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "effects/SegmentationModel.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

namespace fs = std::filesystem;

TEST(ModelLayoutTest, ReadsTheLayoutFromTheInputShape) {
    struct Case {
        std::array<int64_t, 4> shape;
        bool nchw;
        int32_t width, height;
    };
    const Case cases[] = {
        {{1, 256, 256, 3}, false, 256, 256}, {{1, 3, 512, 512}, true, 512, 512},
        {{1, 4, 144, 256}, true, 256, 144},  {{-1, -1, -1, 3}, false, 256, 256},
        {{1, 144, 256, 3}, false, 256, 144}, {{1, 2, 3, 4}, false, 3, 2},
    };
    for (const Case& c : cases) {
        const ModelLayout layout = DetectLayout(c.shape);
        EXPECT_EQ(layout.isNCHW, c.nchw) << c.shape[1] << "," << c.shape[3];
        EXPECT_EQ(layout.width, c.width) << c.shape[1] << "," << c.shape[3];
        EXPECT_EQ(layout.height, c.height) << c.shape[1] << "," << c.shape[3];
    }
    EXPECT_EQ(DetectLayout(std::array<int64_t, 2>{1, 3}).width, 256);
}

TEST(ModelLetterboxTest, WideFrameFillsTheMiddleRowsOfASquareModel) {
    constexpr uint32_t kW = 1280, kH = 720, kModel = 256;
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::shared_ptr<gfx::Texture> frame, model;
    ASSERT_EQ(device->CreateTexture({.width = kW, .height = kH}, nullptr, 0, &frame), kOk);
    ASSERT_EQ(device->CreateTexture({.width = kModel, .height = kModel}, nullptr, 0, &model), kOk);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            uint8_t* p = frame->Row(y) + x * 4;
            p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = 200, p[3] = 255;
        }
    std::memset(model->Data(), 7, size_t{model->RowPitch()} * kModel);
    const gfx::Kernel* kernel = nullptr;
    ASSERT_EQ(device->CompileKernel("ModelLetterbox", &kernel), kOk);
    gfx::Texture* const inputs[] = {frame.get()};
    gfx::Texture* const outputs[] = {model.get()};
    ASSERT_EQ(device->ImmediateContext().Dispatch(*kernel, {inputs, outputs}), kOk);
    for (uint32_t y = 0; y < kModel; ++y) {
        const uint8_t* row = model->Row(y);
        const bool content = y >= 56 && y < 200;
        EXPECT_EQ(row[2], content ? 200 : 0) << "row " << y;
        if (content) {
            // Scale 0.2: model pixel (x, y) samples frame pixel (5x, 5(y - 56)) exactly.
            EXPECT_EQ(row[4 * 51], static_cast<uint8_t>(255)) << "row " << y;
            EXPECT_EQ(row[4 * 51 + 1], static_cast<uint8_t>(5 * (y - 56))) << "row " << y;
        }
    }
}

// A folder laid out like an installed application, with the tiny channel-echo models.
class SegmentationModelTest : public ::testing::Test {
  protected:
    void Install(const char* model, const char* as) {
        const fs::path target = m_folder.path() / as;
        fs::create_directories(target.parent_path());
        fs::copy_file(fs::path(TAMRO_TEST_MODELS) / model, target);
    }

    SegmentationModel::Options Options() const { return {m_folder.path()}; }

    // A BGRA frame whose red byte is 10x + y and green byte 100 + x.
    std::shared_ptr<gfx::Texture> Frame(uint32_t width, uint32_t height) {
        std::vector<uint8_t> pixels(width * height * 4);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* p = &pixels[(y * width + x) * 4];
                p[0] = 1, p[1] = static_cast<uint8_t>(100 + x),
                p[2] = static_cast<uint8_t>(10 * x + y);
                p[3] = 255;
            }
        gfx::TextureDesc desc;
        desc.width = width, desc.height = height, desc.format = gfx::Format::kBGRA8;
        std::shared_ptr<gfx::Texture> texture;
        EXPECT_EQ(m_device->CreateTexture(desc, pixels.data(), width * 4, &texture), kOk);
        return texture;
    }

    // The mask at (x, y), read back through a staging copy.
    float MaskAt(gfx::Texture* mask, uint32_t x, uint32_t y) {
        gfx::TextureDesc desc = mask->Desc();
        desc.usage = gfx::Usage::kStaging, desc.bindFlags = 0,
        desc.cpuAccessFlags = gfx::kCpuAccessRead;
        std::shared_ptr<gfx::Texture> staging;
        EXPECT_EQ(m_device->CreateTexture(desc, nullptr, 0, &staging), kOk);
        gfx::DeviceContext& context = m_device->ImmediateContext();
        EXPECT_EQ(context.CopyResource(staging.get(), mask), kOk);
        gfx::MappedSubresource mapped;
        EXPECT_EQ(context.Map(staging.get(), gfx::MapType::kRead, &mapped), kOk);
        float value;
        std::memcpy(&value, mapped.data + y * mapped.rowPitch + x * 4, 4);
        context.Unmap(staging.get());
        return value;
    }

    test::TempDir m_folder;
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
};

TEST_F(SegmentationModelTest, FeedsTheFrameInRgbAndReadsTheMaskOfItsOwnSize) {
    Install("nhwc_red.onnx", "models/selfie_segmentation.onnx");
    SegmentationModel model(Options());
    ASSERT_TRUE(model.Initialize(m_device.get()));
    EXPECT_FALSE(model.IsNCHW());
    EXPECT_EQ(model.ModelWidth(), 16);
    EXPECT_EQ(model.ModelHeight(), 8);
    EXPECT_TRUE(model.UsesDirectML());

    // The model's own size goes in unchanged; twice the size is halved.
    auto same = Frame(16, 8);
    gfx::Texture* mask = nullptr;
    ASSERT_TRUE(model.Run(same.get(), &mask));
    ASSERT_EQ(mask->Desc().format, gfx::Format::kR32F);
    EXPECT_FLOAT_EQ(MaskAt(mask, 7, 3), (10 * 7 + 3) / 255.0f);
    EXPECT_FLOAT_EQ(MaskAt(mask, 15, 7), (10 * 15 + 7) / 255.0f);
    auto twice = Frame(32, 16);
    ASSERT_TRUE(model.Run(twice.get(), &mask));
    EXPECT_FLOAT_EQ(MaskAt(mask, 7, 3), (10 * 14 + 6) / 255.0f);
}

TEST_F(SegmentationModelTest, PrefersTheFirstCandidateAndReadsTheSecondPlaneOfNchwOutput) {
    Install("nhwc_red.onnx", "models/selfie_segmentation.onnx");
    Install("nchw_green.onnx", "models/modnet.onnx");
    SegmentationModel model(Options());
    ASSERT_TRUE(model.Initialize(m_device.get()));
    EXPECT_TRUE(model.IsNCHW());
    auto frame = Frame(16, 8);
    gfx::Texture* mask = nullptr;
    ASSERT_TRUE(model.Run(frame.get(), &mask));
    EXPECT_FLOAT_EQ(MaskAt(mask, 5, 2), (100 + 5) / 255.0f);
}

TEST_F(SegmentationModelTest, ASecondModelOfTheSameFileLoadsNothing) {
    Install("nhwc_red.onnx", "selfie_segmentation.onnx");
    SegmentationModel first(Options());
    test::LogCapture firstLog;
    ASSERT_TRUE(first.Initialize(m_device.get()));
    EXPECT_EQ(firstLog.Count("[SegmentationModel] Loaded"), 1);

    test::LogCapture secondLog;
    SegmentationModel second(Options());
    ASSERT_TRUE(second.Initialize(m_device.get()));
    EXPECT_EQ(secondLog.Count("[SegmentationModel]"), 0);
    SegmentationModel prewarm(Options());
    EXPECT_TRUE(prewarm.Initialize(nullptr));
    EXPECT_FALSE(prewarm.IsReady());
    EXPECT_EQ(secondLog.Count("[SegmentationModel]"), 0);
}

TEST_F(SegmentationModelTest, AMissingOrCorruptModelSaysWhyAndDisablesEffects) {
    {
        test::LogCapture log;
        SegmentationModel model(Options());
        EXPECT_FALSE(model.Initialize(m_device.get()));
        EXPECT_FALSE(model.IsReady());
        EXPECT_TRUE(log.Contains("[SegmentationModel] Model file not found in any search path"));
        EXPECT_TRUE(log.Contains("from MediaPipe and place in Assets/models/ folder"));
        EXPECT_TRUE(
            log.Contains("[SegmentationModel] ONNX model not available - ML effects disabled"));
    }
    std::ofstream(m_folder.path() / "selfie_segmentation.onnx") << "TFL3 not a graph";
    test::LogCapture log;
    SegmentationModel model(Options());
    EXPECT_FALSE(model.Initialize(m_device.get()));
    EXPECT_TRUE(log.Contains("[SegmentationModel] ONNX error: "));
    EXPECT_TRUE(log.Contains("TFLite files renamed to .onnx will NOT work"));
    EXPECT_TRUE(log.Contains("ONNX model not available - ML effects disabled"));
    gfx::Texture* mask = nullptr;
    auto frame = Frame(16, 8);
    EXPECT_FALSE(model.Run(frame.get(), &mask));
}

}  // namespace
}  // namespace tamro
