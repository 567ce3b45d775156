#include <gtest/gtest.h>

#include "encode/EncoderDevice.h"
#include "platform/media/ScriptedEncoderList.h"
#include "support/LogCapture.h"

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

// The device manager wraps the device whatever the machine's encoders; only a hardware encoder
// that takes the device counts as one.
TEST(EncoderDeviceTest, HasAHardwareEncoderOnlyWhenOneTakesTheDevice) {
    auto gpu = gfx::Device::Create(gfx::DriverType::kHardware);
    test::LogCapture log;
    EncoderDevice unaware;
    EXPECT_TRUE(unaware.Initialize(gpu.get(), media::ScriptedEncoderList({Hardware(0)})));
    EXPECT_FALSE(unaware.HasHardwareEncoder());
    EXPECT_FALSE(log.Contains("No hardware H.264 encoders found"));

    const media::ScriptedEncoderList aware({kSoftware, Hardware(0), Hardware(1)});
    EncoderDevice device;
    EXPECT_TRUE(device.Initialize(gpu.get(), aware));
    EXPECT_TRUE(device.HasHardwareEncoder());
    EXPECT_TRUE(EncoderDevice::MachineHasHardwareEncoder(aware));
    EXPECT_FALSE(EncoderDevice::MachineHasHardwareEncoder(media::ScriptedEncoderList({}, kFail)));

    EncoderDevice softwareOnly;
    EXPECT_TRUE(softwareOnly.Initialize(gpu.get(), media::ScriptedEncoderList({kSoftware})));
    EXPECT_TRUE(log.Contains("[D3D11EncoderDevice] No hardware H.264 encoders found"));
    EXPECT_FALSE(softwareOnly.HasHardwareEncoder());
    ASSERT_NE(softwareOnly.DeviceManager(), nullptr);
    EXPECT_EQ(softwareOnly.DeviceManager()->CurrentDevice(), gpu.get());

    EncoderDevice none;
    EXPECT_FALSE(none.Initialize(nullptr, aware));
    EXPECT_TRUE(log.Contains("[D3D11EncoderDevice] Initialize failed: null device"));
    EXPECT_FALSE(none.IsReady());
}

}  // namespace
}  // namespace tamro
