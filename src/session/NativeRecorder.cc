#include "tamro/NativeRecorder.h"

#include "session/NativeRecorderImpl.h"

namespace tamro {

std::shared_ptr<NativeRecorder> NativeRecorder::Create() {
    return Create(ComponentFactory::CreateDefault());
}

std::shared_ptr<NativeRecorder> NativeRecorder::Create(ScreenSource source) {
    return Create(source == ScreenSource::kSynthetic ? ComponentFactory::CreateSynthetic()
                                                     : ComponentFactory::CreateDefault());
}

std::shared_ptr<NativeRecorder> NativeRecorder::Create(std::unique_ptr<ComponentFactory> factory) {
    return std::shared_ptr<NativeRecorder>(new NativeRecorder(std::move(factory)));
}

NativeRecorder::NativeRecorder(std::unique_ptr<ComponentFactory> factory)
    : m_impl(std::make_unique<Impl>(*this, std::move(factory))) {}

NativeRecorder::~NativeRecorder() = default;

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::StartAsync(const RecordingConfig& config) {
    return m_impl->StartAsync(config);
}

void NativeRecorder::Stop() {
    m_impl->Stop();
}

void NativeRecorder::Pause() {
    m_impl->Pause();
}

void NativeRecorder::Resume() {
    m_impl->Resume();
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::PrepareAsync(const RecordingConfig& config) {
    return m_impl->PrepareAsync(config);
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::StartPreparedAsync() {
    return m_impl->StartPreparedAsync();
}

void NativeRecorder::DiscardPrepared() {
    m_impl->DiscardPrepared();
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::PrepareCameraOverlayAsync() {
    return m_impl->PrepareCameraOverlayAsync();
}

void NativeRecorder::SetCameraOverlayConfig(const CameraOverlayConfig& config) {
    m_impl->m_overlay.SetConfig(config);
}

void NativeRecorder::SetCameraOverlayRect(double x, double y, double width, double height) {
    m_impl->m_overlay.SetRect(x, y, width, height);
}

bool NativeRecorder::IsCameraOverlayActive() const noexcept {
    return m_impl->m_overlay.IsActive();
}

void NativeRecorder::SetOverlayPreviewForward(bool enabled) {
    m_impl->m_overlay.SetPreviewForward(enabled);
}

bool NativeRecorder::SetupCameraOverlayFromSharedHandle(uint64_t handle, uint32_t width,
                                                        uint32_t height) {
    return m_impl->SetupCameraOverlayFromSharedHandle(handle, width, height);
}

void NativeRecorder::SetSharedCameraHandle(uint64_t handle) {
    m_impl->m_overlay.SetSharedHandle(handle);
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::StartCameraPreviewAsync(
    const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
    const BackgroundEffectConfig& effect) {
    return m_impl->StartCameraPreviewAsync(deviceId, width, height, frameRate, effect);
}

void NativeRecorder::StopCameraPreview() {
    m_impl->m_preview.Stop();
}

void NativeRecorder::SetPreviewBackgroundEffect(const BackgroundEffectConfig& effect) {
    m_impl->m_preview.SetEffect(effect);
}

bool NativeRecorder::IsPreviewRunning() const noexcept {
    return m_impl->m_preview.IsRunning();
}

int64_t NativeRecorder::PreviewFrameTime() const noexcept {
    return m_impl->m_preview.FrameTime();
}

bool NativeRecorder::AttachBubblePresenter(int64_t window, uint32_t width, uint32_t height) {
    return m_impl->m_preview.AttachBubble(static_cast<uint64_t>(window), width, height);
}

void NativeRecorder::SetBubbleAppearance(double cornerRadius, double borderWidth,
                                         uint32_t borderColor, bool mirror, bool cover,
                                         double cameraAspect) {
    m_impl->m_preview.SetBubbleAppearance({.cornerRadius = static_cast<float>(cornerRadius),
                                           .borderWidthPx = static_cast<float>(borderWidth),
                                           .borderColor = borderColor,
                                           .mirror = mirror,
                                           .cover = cover,
                                           .cameraAspect = static_cast<float>(cameraAspect)});
}

void NativeRecorder::SetBubbleSize(int32_t width, int32_t height) {
    if (width > 0 && height > 0)
        m_impl->m_preview.SetBubbleSize(static_cast<uint32_t>(width),
                                        static_cast<uint32_t>(height));
}

bool NativeRecorder::IsGpuBubbleActive() const noexcept {
    return m_impl->m_preview.IsGpuBubbleActive();
}

uint64_t NativeRecorder::BeginCameraShare() {
    return m_impl->m_preview.BeginShare();
}

void NativeRecorder::EndCameraShare() {
    m_impl->m_preview.EndShare();
}

void NativeRecorder::SetSharedSessionStartTime(int64_t sessionStart) {
    m_impl->m_preview.SetSharedSessionStartTime(sessionStart);
}

void NativeRecorder::SetBackgroundEffect(const BackgroundEffectConfig& config) {
    m_impl->m_overlay.SetEffect(config);
}

uint64_t NativeRecorder::ProcessedEffectFrames() const {
    return m_impl->m_overlay.ProcessedEffectFrames();
}

bool NativeRecorder::IsBackgroundEffectAvailable() const {
    return m_impl->IsBackgroundEffectAvailable();
}

void NativeRecorder::ToggleCursorFocus(bool active) {
    m_impl->ToggleCursorFocus(active);
}

void NativeRecorder::PulseAtCursor() {
    m_impl->PulseAtCursor();
}

void NativeRecorder::SetFocusZoomSettings(const FocusZoomSettings& settings) {
    m_impl->SetFocusZoomSettings(settings);
}

void NativeRecorder::SetCropRegion(const CaptureRect& rect) {
    m_impl->SetCropRegion(rect);
}

bool NativeRecorder::IsCursorFocusActive() const noexcept {
    return m_impl->m_isCursorFocusActive.load();
}

bool NativeRecorder::IsPrepared() const noexcept {
    return m_impl->m_isPrepared.load();
}

bool NativeRecorder::IsRecording() const noexcept {
    return m_impl->m_isRecording.load();
}

bool NativeRecorder::IsPaused() const noexcept {
    return m_impl->m_isPaused.load();
}

bool NativeRecorder::IsMicrophoneSilent() const {
    return m_impl->IsMicrophoneSilent();
}

double NativeRecorder::ElapsedSeconds() const noexcept {
    return m_impl->ElapsedSeconds();
}

int64_t NativeRecorder::EstimatedBytes() const noexcept {
    return m_impl->EstimatedBytes();
}

std::string NativeRecorder::OutputPath() const {
    return m_impl->OutputPath();
}

int64_t NativeRecorder::SessionStartTime() const noexcept {
    return m_impl->SessionStartTime();
}

void NativeRecorder::SetMicrophoneVolume(double volume) {
    m_impl->SetMicrophoneVolume(volume);
}

void NativeRecorder::SetSystemVolume(double volume) {
    m_impl->SetSystemVolume(volume);
}

EventToken NativeRecorder::RecordingStarted(Handler<std::nullptr_t> handler) {
    return m_impl->m_recordingStarted.Add(std::move(handler));
}

void NativeRecorder::RecordingStarted(EventToken token) {
    m_impl->m_recordingStarted.Remove(token);
}

EventToken NativeRecorder::RecordingStopped(Handler<std::string> handler) {
    return m_impl->m_recordingStopped.Add(std::move(handler));
}

void NativeRecorder::RecordingStopped(EventToken token) {
    m_impl->m_recordingStopped.Remove(token);
}

EventToken NativeRecorder::ErrorOccurred(Handler<std::string> handler) {
    return m_impl->m_errorOccurred.Add(std::move(handler));
}

void NativeRecorder::ErrorOccurred(EventToken token) {
    m_impl->m_errorOccurred.Remove(token);
}

EventToken NativeRecorder::ProgressUpdated(Handler<std::shared_ptr<RecordingProgress>> handler) {
    return m_impl->m_progressUpdated.Add(std::move(handler));
}

void NativeRecorder::ProgressUpdated(EventToken token) {
    m_impl->m_progressUpdated.Remove(token);
}

EventToken NativeRecorder::CursorFocusChanged(Handler<bool> handler) {
    return m_impl->m_cursorFocusChanged.Add(std::move(handler));
}

void NativeRecorder::CursorFocusChanged(EventToken token) {
    m_impl->m_cursorFocusChanged.Remove(token);
}

EventToken NativeRecorder::PreviewFrameReady(Handler<std::shared_ptr<BgraBitmap>> handler) {
    return m_impl->m_previewFrameReady.Add(std::move(handler));
}

void NativeRecorder::PreviewFrameReady(EventToken token) {
    m_impl->m_previewFrameReady.Remove(token);
}

EventToken NativeRecorder::ReservedNotification(Handler<std::nullptr_t> handler) {
    return m_impl->m_reservedNotification.Add(std::move(handler));
}

void NativeRecorder::ReservedNotification(EventToken token) {
    m_impl->m_reservedNotification.Remove(token);
}

}  // namespace tamro
