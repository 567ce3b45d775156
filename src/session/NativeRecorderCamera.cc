// The recorder's side of the webcam bubble: the overlay itself lives in src/camera/; these are
// the points where the session's start, prepare and the application's calls reach it.
#include <utility>

#include "camera/CameraShareRegistry.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "effects/BackgroundEffectProcessor.h"
#include "effects/SegmentationModel.h"
#include "session/NativeRecorderImpl.h"

namespace tamro {

CameraOverlay::Environment NativeRecorder::Impl::OverlayEnvironment() {
    CameraOverlay::Environment environment;
    environment.cameras = CameraProvider();
    environment.previewFrame = [this](std::shared_ptr<BgraBitmap> bitmap) {
        m_previewFrameReady.Raise(m_owner, bitmap);
    };
    environment.previewWanted = [this] { return m_previewFrameReady.HasHandlers(); };
    environment.cameraLost = [this](const std::string& reason) {
        LogLine("[NativeRecorder] Camera overlay: %s; the recording goes on without it\n",
                reason.c_str());
        RaiseError("Camera lost: " + reason + "; the recording goes on without the camera");
    };
    environment.effects = EffectFactory();
    environment.sharedCameraTime = [](uint64_t handle) -> int64_t {
        const auto entry = CameraShareRegistry::Instance().Find(handle);
        return entry ? entry->lastTimestamp : 0;
    };
    environment.inFlight = &m_inFlightCallbacks;
    environment.shuttingDown = [this] { return m_isShuttingDown.load(); };
    environment.clock = m_factory->Clock();
    return environment;
}

CameraPreview::Environment NativeRecorder::Impl::PreviewEnvironment() {
    CameraPreview::Environment environment;
    environment.cameras = CameraProvider();
    environment.effects = EffectFactory();
    environment.surfaces = m_factory->BubbleSurfaces();
    environment.previewFrame = [this](std::shared_ptr<BgraBitmap> bitmap) {
        m_previewFrameReady.Raise(m_owner, bitmap);
    };
    environment.clock = m_factory->Clock();
    return environment;
}

// Asked at each opening, so that the factory's cameras may change between recordings.
platform::camera::CameraSystemProvider NativeRecorder::Impl::CameraProvider() {
    return [this](std::string_view id) {
        const platform::camera::CameraSystemProvider cameras = m_factory->Cameras();
        return cameras ? cameras(id) : platform::camera::DefaultCameraSystem(id);
    };
}

CameraEffectFactory NativeRecorder::Impl::EffectFactory() const {
    if (CameraEffectFactory effects = m_factory->Effects())
        return effects;
    return [](gfx::Device* device, uint32_t width, uint32_t height,
              const BackgroundEffectConfig& config) -> std::unique_ptr<ICameraFrameEffect> {
        auto processor = std::make_unique<BackgroundEffectProcessor>();
        if (!processor->Initialize(device, width, height))
            return nullptr;
        processor->SetConfig(config);
        return processor;
    };
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::Impl::StartCameraPreviewAsync(
    const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
    const BackgroundEffectConfig& effect) {
    return AsyncOperation<bool>::Run(
        [self = m_owner.shared_from_this(), deviceId, width, height, frameRate, effect] {
            return self->m_impl->m_preview.Start(deviceId, width, height, frameRate, effect);
        });
}

CameraOverlay::Screen NativeRecorder::Impl::OverlayScreen() const {
    std::lock_guard lock(m_componentsMutex);
    if (!m_screenCapture || !m_screenCapture->HasDevice())
        return {};
    return {m_screenCapture->GetDevice(), m_screenCapture->Width(), m_screenCapture->Height()};
}

// Before the session's time origin is stamped: a camera takes a while to open, and stamped
// first, the session would begin with that time as a frozen picture and missing sound. The
// camera is moved onto the origin once it exists (ResetSessionTiming).
void NativeRecorder::Impl::OpenCameraOverlay() {
    m_cameraNotice.clear();
    if (!m_overlay.IsEnabled() || m_overlay.IsActive())
        return;
    if (!m_overlay.SetupPipeline(OverlayScreen())) {
        const std::string failure = m_overlay.SetupFailure();
        m_cameraNotice =
            "The camera bubble is off: " +
            (failure.empty() ? std::string("the camera could not be opened") : failure);
    } else if (const std::string effect = m_overlay.EffectNotice(); !effect.empty()) {
        m_cameraNotice = "Background effect: " + effect;
    }
}

bool NativeRecorder::Impl::IsBackgroundEffectAvailable() const {
    if (const std::optional<bool> running = m_overlay.EffectFindsPeople())
        return *running;
    SegmentationModel model;
    return model.Initialize(nullptr) && model.UsesDirectML();
}

// Said once the recording runs, outside the session's lock: the recording goes on without it.
void NativeRecorder::Impl::RaiseCameraNotice() {
    if (!m_cameraNotice.empty())
        RaiseError(std::exchange(m_cameraNotice, {}));
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::Impl::PrepareCameraOverlayAsync() {
    return AsyncOperation<bool>::Run(
        [self = m_owner.shared_from_this()] { return self->m_impl->RunPrepareCameraOverlay(); });
}

bool NativeRecorder::Impl::RunPrepareCameraOverlay() {
    std::lock_guard lock(m_sessionMutex);
    if (!m_isPrepared.load()) {
        LogLine("[NativeRecorder] PrepareCameraOverlayAsync: Not prepared\n");
        return false;
    }
    if (m_isRecording.load()) {
        LogLine("[NativeRecorder] PrepareCameraOverlayAsync: Already recording\n");
        return false;
    }
    if (!m_overlay.IsEnabled())
        return false;
    if (m_overlay.IsActive())
        return true;
    // No origin yet: the prepared start gives the camera the recording's.
    return m_overlay.SetupPipeline(OverlayScreen());
}

bool NativeRecorder::Impl::SetupCameraOverlayFromSharedHandle(uint64_t handle, uint32_t width,
                                                              uint32_t height) {
    return m_overlay.SetupFromSharedHandle(OverlayScreen(), handle, width, height);
}

void NativeRecorder::Impl::WritePerfStartLine() const {
    if (!PerfLog::IsPerfEnabled())
        return;
    PerfLog::Write(
        "[PERF][Session] recStart nativeBuild=%s %s overlayEnabled=%d sharedCamHandle=%d "
        "gpuBubble=%d singleEffectPreview=%d\n",
        __DATE__, __TIME__, m_overlay.IsEnabled() ? 1 : 0, m_overlay.SharedHandle() != 0 ? 1 : 0,
        m_preview.IsGpuBubbleActive() ? 1 : 0,
        m_preview.IsRunning() && m_preview.SingleEffectPreview() ? 1 : 0);
}

}  // namespace tamro
