#include "session/SessionBuilder.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "capture/FrameSlots.h"
#include "capture/RegionCheck.h"
#include "diag/Log.h"

namespace tamro {
namespace {

constexpr double kDefaultCropFraction = 0.55;
constexpr double kDefaultSmoothing = 0.4;
constexpr double kDefaultDeadZone = 5.0;
constexpr double kDefaultPulseFactor = 2.0;
constexpr uintmax_t kLowSpaceBytes = 1ull << 30;

double PositiveOr(double value, double fallback) {
    return value > 0.0 ? value : fallback;
}

}  // namespace

SessionBuilder::SessionBuilder(ComponentFactory& factory, Kind kind, CropCallback onCrop)
    : m_factory(factory), m_kind(kind), m_onCrop(std::move(onCrop)) {}

FocusZoomSettings SessionBuilder::WithDefaults(const FocusZoomSettings& settings) {
    FocusZoomSettings result = settings;
    result.cropFraction = PositiveOr(settings.cropFraction, kDefaultCropFraction);
    result.smoothing = PositiveOr(settings.smoothing, kDefaultSmoothing);
    result.deadZone = PositiveOr(settings.deadZone, kDefaultDeadZone);
    result.pulseFactor = PositiveOr(settings.pulseFactor, kDefaultPulseFactor);
    return result;
}

double SessionBuilder::ClampVolume(double volume) {
    return std::clamp(volume, 0.0, 2.0);
}

std::unique_ptr<SessionParts> SessionBuilder::Build(const RecordingConfig& config,
                                                    std::string& error) {
    m_parts = std::make_unique<SessionParts>();
    if (!CheckFrameRate(config, error)) {
        return nullptr;
    }
    if (!InitializeScreenCapture(config)) {
        Fail("Failed to initialize screen capture", error);
        return nullptr;
    }
    int32_t capturedWidth = static_cast<int32_t>(m_parts->screen->Width());
    int32_t capturedHeight = static_cast<int32_t>(m_parts->screen->Height());
    m_parts->origin = m_factory.FindMonitorOrigin(config.MonitorHandle()).value_or(MonitorOrigin{});
    if (!SetUpCaptureRegion(config, capturedWidth, capturedHeight, error)) {
        return nullptr;
    }
    const int32_t outputWidth = config.Width() > 0 ? config.Width() : capturedWidth;
    const int32_t outputHeight = config.Height() > 0 ? config.Height() : capturedHeight;
    SetUpFocusZoom(config, capturedWidth, capturedHeight, outputWidth, outputHeight);
    if (!OpenEncoder(config, outputWidth, outputHeight)) {
        Fail("Failed to initialize encoder", error);
        return nullptr;
    }
    WarnOfLowSpace(config.OutputPath());
    if (config.CaptureMicrophone() || config.CaptureSystemAudio()) {
        SetUpAudio(config);
    }
    return std::move(m_parts);
}

// The recording stops when the disk fills; a low start is worth a line.
void SessionBuilder::WarnOfLowSpace(const std::string& path) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(path, error);
    if (error || path.empty())
        return;
    const auto space = std::filesystem::space(file.parent_path(), error);
    if (!error && space.available < kLowSpaceBytes) {
        LogLine("[NativeRecorder] WARNING: only %llu MB free on the disk of %s\n",
                static_cast<unsigned long long>(space.available >> 20), path.c_str());
    }
}

bool SessionBuilder::CheckFrameRate(const RecordingConfig& config, std::string& error) const {
    if (config.FrameRate() >= static_cast<int32_t>(FrameSlots::kMinFps) &&
        config.FrameRate() <= static_cast<int32_t>(FrameSlots::kMaxFps)) {
        return true;
    }
    error = FormatLine("Frame rate %d is outside %u to %u", config.FrameRate(), FrameSlots::kMinFps,
                       FrameSlots::kMaxFps);
    LogLine("[NativeRecorder] %s%s\n", m_kind == Kind::kPrepare ? "PrepareAsync: " : "",
            error.c_str());
    return false;
}

// A prepared build's component failures are in the log alone.
bool SessionBuilder::Fail(const char* message, std::string& error) const {
    if (m_kind == Kind::kPrepare) {
        LogLine("[NativeRecorder] PrepareAsync: %s\n", message);
        return false;
    }
    LogLine("[NativeRecorder] %s\n", message);
    error = message;
    return false;
}

bool SessionBuilder::InitializeScreenCapture(const RecordingConfig& config) {
    m_parts->screen = m_factory.CreateScreenCapture();
    IScreenCapture* screen = m_parts->screen.get();
    if (!screen || !screen->HasDevice()) {
        return false;
    }
    screen->SetCaptureCursor(config.CaptureCursor());
    screen->SetFrameRate(static_cast<uint32_t>(config.FrameRate()));
    if (config.CaptureMode() == 1) {
        return screen->InitializeForWindow(config.WindowHandle());
    }
    return screen->InitializeForMonitor(config.MonitorHandle());
}

// Decided before the encoder opens its file, so that a refused region leaves nothing behind.
// A refusal is raised for a preparation too: otherwise the caller could not tell why.
bool SessionBuilder::SetUpCaptureRegion(const RecordingConfig& config, int32_t& capturedWidth,
                                        int32_t& capturedHeight, std::string& error) {
    const CaptureRect& region = config.CaptureRegion();
    if (config.CaptureMode() != 2 || region.Width <= 0 || region.Height <= 0) {
        return true;
    }
    const MonitorOrigin& origin = m_parts->origin;
    const RegionCheck check(region,
                            MonitorBounds{origin.left, origin.top, capturedWidth, capturedHeight});
    if (!check.Accepted()) {
        LogLine("[NativeRecorder] %s%s\n", m_kind == Kind::kPrepare ? "PrepareAsync: " : "",
                check.Refusal().c_str());
        error = check.Refusal();
        return false;
    }
    if (check.WasClamped()) {
        LogLine("[NativeRecorder] %s\n", check.ClampLine().c_str());
    }
    const CaptureRect& crop = check.Clamped();
    m_parts->screen->SetCropRegion(crop.X, crop.Y, crop.Width, crop.Height);
    capturedWidth = crop.Width;
    capturedHeight = crop.Height;
    return true;
}

void SessionBuilder::SetUpFocusZoom(const RecordingConfig& config, int32_t capturedWidth,
                                    int32_t capturedHeight, int32_t outputWidth,
                                    int32_t outputHeight) {
    m_parts->focusZoom = m_factory.CreateFocusZoomManager();
    m_parts->magnifier = m_factory.CreateMagnifierManager();
    IFocusZoomManager* focus = m_parts->focusZoom.get();
    if (!focus) {
        return;
    }
    focus->Initialize(m_parts->origin.left, m_parts->origin.top, capturedWidth, capturedHeight,
                      outputWidth, outputHeight, WithDefaults(config.FocusZoom()));
    focus->SetMagnifier(m_parts->magnifier.get());
    focus->SetCropCallback(m_onCrop);
}

bool SessionBuilder::OpenEncoder(const RecordingConfig& config, int32_t outputWidth,
                                 int32_t outputHeight) {
    m_parts->encoder = m_factory.CreateEncoder();
    IEncoder* encoder = m_parts->encoder.get();
    if (!encoder) {
        return false;
    }
    if (m_parts->screen->HasDevice()) {
        encoder->SetD3DDevice(m_parts->screen->GetDevice());
    }
    m_parts->frameDuration = 10'000'000 / config.FrameRate();
    const int32_t profile = config.VideoProfile();
    return encoder->Initialize(EncoderSettings{
        .path = config.OutputPath(),
        .width = static_cast<uint32_t>(outputWidth),
        .height = static_cast<uint32_t>(outputHeight),
        .fps = static_cast<uint32_t>(config.FrameRate()),
        .videoBitrate = static_cast<uint32_t>(config.Bitrate()),
        .audioSampleRate = static_cast<uint32_t>(config.AudioSampleRate()),
        .audioChannels = static_cast<uint32_t>(config.AudioChannels()),
        .audioBitrate = static_cast<uint32_t>(config.AudioBitrate()),
        .hasAudio = config.CaptureMicrophone() || config.CaptureSystemAudio(),
        .profile = static_cast<uint32_t>(profile >= 0 && profile <= 2 ? profile : 1),
        .qualityVsSpeed = static_cast<uint32_t>(config.QualityVsSpeed()),
        .cabac = config.EnableCabac(),
        .bFrames = static_cast<uint32_t>(config.BFrameCount()),
        .keyframeIntervalSeconds = static_cast<uint32_t>(config.KeyframeIntervalSeconds()),
    });
}

void SessionBuilder::SetUpAudio(const RecordingConfig& config) {
    if (m_kind == Kind::kPrepare) {
        if (!CreateInitializedAudio(config, config.CaptureSystemAudio())) {
            LogLine("[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n");
        }
    } else if (!TryProcessAudio(config) &&
               !CreateInitializedAudio(config, config.CaptureSystemAudio())) {
        LogLine("[NativeRecorder] WARNING: Audio capture initialization failed!\n");
    }
    ApplyAudioSettings(config);
}

// Records only the window's process tree. False when the session should fall back to system
// audio.
bool SessionBuilder::TryProcessAudio(const RecordingConfig& config) {
    if (config.CaptureMode() != 1 || !config.CaptureWindowAudioOnly() ||
        !config.CaptureSystemAudio()) {
        return false;
    }
    const uint32_t pid = m_factory.WindowProcessId(config.WindowHandle());
    if (pid == 0) {
        LogLine("[NativeRecorder] Could not get process ID, falling back to system audio\n");
        return false;
    }
    if (!CreateInitializedAudio(config, false)) {
        return false;
    }
    if (m_parts->audio->InitializeProcessLoopback(pid)) {
        return true;
    }
    LogLine("[NativeRecorder] Process loopback failed, falling back to system audio\n");
    return CreateInitializedAudio(config, config.CaptureSystemAudio());
}

// A capture whose initialisation failed is still kept: the sources that did open record.
bool SessionBuilder::CreateInitializedAudio(const RecordingConfig& config, bool captureSystem) {
    m_parts->audio.reset();
    m_parts->audio = m_factory.CreateAudioCapture();
    return m_parts->audio &&
           m_parts->audio->Initialize(
               captureSystem, config.CaptureMicrophone(), config.MicrophoneDeviceId(),
               static_cast<uint32_t>(config.AudioSampleRate()),
               static_cast<uint32_t>(config.AudioChannels()), config.NoiseSuppression(),
               config.NoiseMode(), config.NoiseStrength());
}

void SessionBuilder::ApplyAudioSettings(const RecordingConfig& config) {
    IAudioCapture* audio = m_parts->audio.get();
    if (!audio) {
        return;
    }
    audio->SetMicrophoneVolume(ClampVolume(config.MicrophoneVolume()));
    audio->SetSystemVolume(ClampVolume(config.SystemVolume()));
    audio->SetDuckingEnabled(config.DuckingEnabled());
    if (!config.DuckingEnabled()) {
        audio->SetDuckingGain(1.0);
    }
    audio->SetDuckLevelDb(std::clamp(config.DuckLevelDb(), -24.0, 0.0));
    audio->ConfigureLevels(AudioLevels{
        .agcMinGain = config.AgcMinGain(),
        .agcMaxGain = config.AgcMaxGain(),
        .agcTargetLevel = config.AgcTargetLevel(),
        .agcTuningA = config.AgcTuningA(),
        .agcTuningB = config.AgcTuningB(),
        .limiterThreshold = config.LimiterThreshold(),
        .limiterKneeEnd = config.LimiterKneeEnd(),
        .limiterRatio = config.LimiterRatio(),
        .gainSmoothing = config.GainSmoothing(),
    });
}

}  // namespace tamro
