#include <gtest/gtest.h>
#include <stdlib.h>

#include "encode/Encoder.h"
#include "encode/EncoderDevice.h"
#include "platform/media/ScriptedEncoderList.h"
#include "support/AppDataFolder.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace tamro {
namespace {

namespace media = platform::media;

media::ScriptedEncoder Hardware(uint32_t acceptsDevice) {
    return media::ScriptedEncoder{.friendlyName = "hw",
                                  .hardware = true,
                                  .acceptsGpuDevice = acceptsDevice,
                                  .inputTypes = {media::kSubtypeNV12}};
}

const media::ScriptedEncoder kSoftware{.friendlyName = "sw", .inputTypes = {media::kSubtypeNV12}};

class EncoderDeviceTest : public ::testing::Test {
  protected:
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
};

TEST_F(EncoderDeviceTest, SoftwareOnlyMachineHasNoHardwareEncoder) {
    const media::ScriptedEncoderList list({kSoftware});
    test::LogCapture log;
    EncoderDevice device;
    EXPECT_TRUE(device.Initialize(m_device.get(), list));
    EXPECT_TRUE(log.Contains("[D3D11EncoderDevice] No hardware H.264 encoders found"));
    EXPECT_FALSE(device.HasHardwareEncoder());
    EXPECT_NE(device.DeviceManager(), nullptr);
    EXPECT_EQ(device.DeviceManager()->CurrentDevice(), m_device.get());

    EncoderDevice none;
    EXPECT_FALSE(none.Initialize(nullptr, list));
    EXPECT_TRUE(log.Contains("[D3D11EncoderDevice] Initialize failed: null device"));
    EXPECT_FALSE(none.IsReady());
}

TEST_F(EncoderDeviceTest, HardwareEncoderMustTakeTheDevice) {
    test::LogCapture log;
    EncoderDevice unaware;
    EXPECT_TRUE(unaware.Initialize(m_device.get(), media::ScriptedEncoderList({Hardware(0)})));
    EXPECT_FALSE(unaware.HasHardwareEncoder());
    EXPECT_FALSE(log.Contains("No hardware H.264 encoders found"));

    const media::ScriptedEncoderList aware({kSoftware, Hardware(0), Hardware(1)});
    EncoderDevice device;
    EXPECT_TRUE(device.Initialize(m_device.get(), aware));
    EXPECT_TRUE(device.HasHardwareEncoder());
    EXPECT_TRUE(EncoderDevice::MachineHasHardwareEncoder(aware));
    EXPECT_FALSE(EncoderDevice::MachineHasHardwareEncoder(media::ScriptedEncoderList({}, kFail)));
}

// The encoder hands the writer the device manager only when a hardware encoder takes it.
TEST_F(EncoderDeviceTest, EncoderUsesTheManagerOnlyWithAHardwareEncoder) {
    test::AppDataFolder appData;
    test::TempDir dir;
    setenv("TAMRO_PERF", "1", 1);
    for (const bool hardware : {false, true}) {
        auto list = std::make_shared<media::ScriptedEncoderList>(
            hardware ? std::vector<media::ScriptedEncoder>{Hardware(1)}
                     : std::vector<media::ScriptedEncoder>{kSoftware});
        test::LogCapture log;
        Encoder encoder(list);
        encoder.SetD3DDevice(m_device.get());
        ASSERT_TRUE(encoder.Initialize({.path = (dir.path() / "a.mp4").string(),
                                        .width = 64,
                                        .height = 64,
                                        .hasAudio = false}));
        EXPECT_EQ(encoder.UsesDeviceManager(), hardware);
        EXPECT_EQ(log.Contains("[Encoder] No hardware encoder available, using CPU path"),
                  !hardware);
        EXPECT_EQ(log.Contains("hwD3DManager=YES"), hardware);
        encoder.Finalize();
    }
}

}  // namespace
}  // namespace tamro
