// The recorder's static operations that belong to encoding.
#include "diag/Log.h"
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

bool NativeRecorder::HasHardwareEncoder() {
    return EncoderDevice::MachineHasHardwareEncoder(*platform::media::EncoderList::CreateDefault());
}

}  // namespace tamro
