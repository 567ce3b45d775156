// The bubble drawn into the application's window: the picture and its constants, when the window
// is resized or re-cut, and how a failure latches.

#include <gtest/gtest.h>

#include "camera/BubblePresenter.h"
#include "camera/PreviewFakes.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

constexpr uint8_t kB = 30, kG = 60, kR = 200;

class BubblePresenterTest : public ::testing::Test {
  protected:
    BubblePresenterTest() {
        const uint32_t width = 64, height = 36;
        std::vector<uint8_t> pixels;
        for (uint32_t i = 0; i < width * height; ++i)
            pixels.insert(pixels.end(), {kB, kG, kR, 255});
        m_device->CreateTexture({.width = width, .height = height}, pixels.data(), width * 4,
                                &m_frame);
    }

    std::unique_ptr<BubblePresenter> Make(uint32_t width, uint32_t height, uint64_t window = 7) {
        return std::make_unique<BubblePresenter>(window, width, height, FakeSurfaces(m_surface));
    }
    bool Present(BubblePresenter& presenter) {
        return presenter.Present(m_device.get(), m_frame.get());
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::shared_ptr<gfx::Texture> m_frame;
    std::shared_ptr<SurfaceLog> m_surface = std::make_shared<SurfaceLog>();
    LogCapture m_log;
};

// By default a square window shows a full circle of the camera, cover fit, with no border; the
// corners are fully transparent and the antialiased rim is premultiplied.
TEST_F(BubblePresenterTest, DefaultAppearanceIsAFullCoveredCirclePremultiplied) {
    auto presenter = Make(100, 100);
    ASSERT_TRUE(Present(*presenter));
    using Pixel = std::array<uint8_t, 4>;
    EXPECT_EQ(m_surface->Pixel(50, 50), (Pixel{kB, kG, kR, 255}));
    EXPECT_EQ(m_surface->Pixel(50, 1), (Pixel{kB, kG, kR, 255})) << "cover fills the circle's top";
    for (auto [x, y] : {std::pair{0u, 0u}, {99u, 0u}, {0u, 99u}, {99u, 99u}, {12u, 12u}})
        EXPECT_EQ(m_surface->Pixel(x, y), (Pixel{0, 0, 0, 0})) << x << "," << y;
    int rim = 0;
    for (uint32_t x = 0; x < 50; ++x) {
        const Pixel p = m_surface->Pixel(x, 15);
        if (p[3] > 0 && p[3] < 255) {
            ++rim;
            EXPECT_LE(p[2], p[3]) << "colour above alpha is not premultiplied";
        }
    }
    EXPECT_GT(rim, 0) << "the edge is antialiased";

    const auto k = BubblePresenter::Constants({}, 100, 100, 64, 36);
    EXPECT_FLOAT_EQ(k.shape[0], 1.0f);
    EXPECT_FLOAT_EQ(k.shape[1], 0.0f);
    EXPECT_FLOAT_EQ(k.shape[2], 1.0f);
    EXPECT_FLOAT_EQ(k.borderMisc[0], 0.0f);
    EXPECT_FLOAT_EQ(k.borderMisc[2], 0.0f) << "never dashed";
}

TEST_F(BubblePresenterTest, ConstantsConvertTheBorderAndTakeTheFramesAspect) {
    BubblePresenter::Appearance look{
        .cornerRadius = 3.0f, .borderWidthPx = 4.0f, .borderColor = 0x80FF0000u, .mirror = true};
    auto k = BubblePresenter::Constants(look, 200, 200, 1280, 720);
    EXPECT_FLOAT_EQ(k.borderMisc[0], 0.04f);
    EXPECT_FLOAT_EQ(k.borderMisc[1], 16.0f / 9.0f);
    EXPECT_FLOAT_EQ(k.shape[0], 1.0f) << "clamped";
    EXPECT_FLOAT_EQ(k.shape[1], 1.0f);
    EXPECT_FLOAT_EQ(k.borderColor[0], 1.0f);
    EXPECT_FLOAT_EQ(k.borderColor[2], 0.0f);
    EXPECT_NEAR(k.borderColor[3], 128.0f / 255.0f, 1e-6);
    // The half-size is the shorter side's; a given aspect wins over the frame's.
    look.cameraAspect = 1.5f;
    k = BubblePresenter::Constants(look, 300, 200, 1280, 720);
    EXPECT_FLOAT_EQ(k.borderMisc[0], 0.04f);
    EXPECT_FLOAT_EQ(k.borderMisc[1], 1.5f);
}

// The buffers change only for a new size, and the window is re-cut only when the shape changes.
TEST_F(BubblePresenterTest, ResizesOnlyForANewSizeAndRecutsOnlyOnAChange) {
    auto presenter = Make(100, 100);
    ASSERT_TRUE(Present(*presenter));
    ASSERT_TRUE(Present(*presenter));
    presenter->SetSize(100, 100);
    ASSERT_TRUE(Present(*presenter));
    EXPECT_TRUE(m_surface->resizes.empty());
    presenter->SetSize(120, 80);
    ASSERT_TRUE(Present(*presenter));
    EXPECT_EQ(m_surface->resizes, (std::vector<std::pair<uint32_t, uint32_t>>{{120, 80}}));
    EXPECT_EQ(m_surface->width, 120u);
    presenter->SetAppearance({.cornerRadius = 0.3f});
    ASSERT_TRUE(Present(*presenter));
    ASSERT_TRUE(Present(*presenter));
    EXPECT_EQ(m_surface->presents, (std::vector<bool>{true, false, false, true, true, false}));
}

TEST_F(BubblePresenterTest, AFailedPresentLatchesWithoutTouchingTheWindowAgain) {
    m_surface->failPresentFrom = 2;
    auto presenter = Make(64, 64);
    EXPECT_TRUE(Present(*presenter));
    EXPECT_FALSE(Present(*presenter));
    EXPECT_TRUE(presenter->HasFailed());
    EXPECT_TRUE(m_log.Contains("[BubblePresenter] Present failed 0x80004005"));
    EXPECT_FALSE(Present(*presenter));
    EXPECT_EQ(m_surface->Presents(), 2u);
}

TEST_F(BubblePresenterTest, ASetUpFailureNamesItsStepOnceAndLatches) {
    m_surface->failOpenAt = "XShmCreateImage";
    auto presenter = Make(64, 64);
    EXPECT_FALSE(Present(*presenter));
    EXPECT_FALSE(Present(*presenter));
    EXPECT_EQ(m_surface->surfaces, 1);
    EXPECT_EQ(m_log.Count("[BubblePresenter] init failed at XShmCreateImage \xC3\xA2\xE2\x82\xAC"
                          "\xE2\x80\x9D falling back to layered path"),
              1);
    // Without a window nothing is made at all.
    auto detached = Make(64, 64, 0);
    EXPECT_FALSE(Present(*detached));
    EXPECT_EQ(m_surface->surfaces, 1);
}

}  // namespace
}  // namespace tamro::test
