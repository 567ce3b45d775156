// The recorder's static operations: encoding's, and the segmentation model's pre-warm.
#include <exception>

#include "diag/Log.h"
#include "effects/SegmentationModel.h"
#include "encode/Encoder.h"
#include "encode/EncoderDevice.h"
#include "platform/media/EncoderList.h"
#include "platform/media/MediaPlatform.h"
#include "tamro/NativeRecorder.h"

namespace tamro {

void NativeRecorder::PreWarmEncoder() {
    Encoder::PreWarm();
}

void NativeRecorder::InitializeMediaFoundation() {
    if (Failed(platform::media::StartMediaPlatform()))
        LogLine("[NativeRecorder] Media Foundation init failed (will retry later)\n");
    Encoder::PreWarm();
}

void NativeRecorder::PreWarmMLModel() {
    try {
        // Only loads: the session it makes stays in the process's cache for the first effect.
        SegmentationModel model;
        model.Initialize(nullptr);
    } catch (const std::exception& error) {
        LogLine("[NativeRecorder] PreWarmMLModel failed: %s\n", error.what());
    } catch (...) {
        LogLine("[NativeRecorder] PreWarmMLModel failed with unknown exception\n");
    }
}

bool NativeRecorder::HasHardwareEncoder() {
    return EncoderDevice::MachineHasHardwareEncoder(*platform::media::EncoderList::CreateDefault());
}

}  // namespace tamro
