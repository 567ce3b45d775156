#include "PreviewRecording.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "Report.h"

namespace tamro::preview {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kFps = 30;
// How long a stop may take to finish the file before the tool gives up waiting.
constexpr auto kStopWait = 10s;

void Say(const std::string& text) {
    std::fprintf(stderr, "tamro-preview: %s\n", text.c_str());
}

// The primary monitor's x, y, width and height.
std::array<int, 4> PrimaryMonitor(const DesktopDescription& desktop) {
    const MonitorDescription* chosen = desktop.monitors.empty() ? nullptr : &desktop.monitors[0];
    for (const MonitorDescription& m : desktop.monitors) {
        if (m.primary)
            chosen = &m;
    }
    if (!chosen)
        return {0, 0, 1920, 1080};
    return {chosen->x, chosen->y, static_cast<int>(chosen->width),
            static_cast<int>(chosen->height)};
}

// The primary monitor, with the sound there is: without an audio server, none.
RecordingConfig MakeConfig(const std::string& path, ScreenSource source) {
    RecordingConfig config;
    config.OutputPath(path);
    config.FrameRate(kFps);
    const std::optional<AudioDescription> audio = DescribeAudio(source);
    if (!audio)
        Say("no audio server: recording without sound");
    config.CaptureMicrophone(audio && !audio->microphones.empty());
    config.CaptureSystemAudio(audio && !audio->outputs.empty());
    return config;
}

}  // namespace

// What the recorder's events report.
struct PreviewRecording::Observed {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
    double elapsed = 0;
    int32_t dropped = 0;
    std::string error;
};

std::unique_ptr<PreviewRecording> PreviewRecording::Start(NativeRecorder& preview,
                                                          const Settings& settings,
                                                          std::string* error) {
    auto recording = std::make_unique<PreviewRecording>(Key(), preview, settings.path);
    if (!recording->Begin(settings, error))
        return nullptr;
    return recording;
}

PreviewRecording::PreviewRecording(Key, NativeRecorder& preview, std::string path)
    : m_preview(preview), m_path(std::move(path)), m_observed(std::make_shared<Observed>()) {}

PreviewRecording::~PreviewRecording() {
    Finish();
}

bool PreviewRecording::Begin(const Settings& settings, std::string* error) {
    const uint64_t handle = m_preview.BeginCameraShare();
    if (handle == 0) {
        *error = "the camera could not be lent to the recording";
        return false;
    }
    m_sharing = true;
    const std::optional<DesktopDescription> desktop = DescribeDesktop(settings.source);
    if (!desktop) {
        *error = "the screen to record cannot be opened";
        return false;
    }
    m_monitor = PrimaryMonitor(*desktop);
    m_camera = settings.camera;
    if (settings.window && settings.source == ScreenSource::kDesktop) {
        const auto [x, y, side] = *settings.window;
        m_side = side;
        m_camera.rect = BubbleRect(x, y);
    }
    m_recorder = NativeRecorder::Create(settings.source);
    Subscribe();
    m_recorder->SetCameraOverlayConfig(Overlay());
    m_recorder->SetSharedCameraHandle(handle);
    try {
        m_started = m_recorder->StartAsync(MakeConfig(m_path, settings.source))->Get();
    } catch (const std::exception& e) {
        *error = std::string("the recording could not start: ") + e.what();
        return false;
    }
    if (!m_started) {
        std::lock_guard lock(m_observed->mutex);
        *error = m_observed->error.empty() ? "the recording could not start" : m_observed->error;
        return false;
    }
    // The lent frames are timed on the recording's clock from now on.
    m_preview.SetSharedSessionStartTime(m_recorder->SessionStartTime());
    return true;
}

CameraOverlayConfig PreviewRecording::BubbleRect(int x, int y) const {
    const double width = std::max(m_monitor[2], 1), height = std::max(m_monitor[3], 1);
    CameraOverlayConfig rect;
    rect.x = (x - m_monitor[0]) / width;
    rect.y = (y - m_monitor[1]) / height;
    rect.width = m_side / width;
    rect.height = m_side / height;
    return rect;
}

CameraOverlayConfig PreviewRecording::Overlay() const {
    return cli::MakeCameraOverlay(m_camera, static_cast<uint32_t>(m_monitor[2]),
                                  static_cast<uint32_t>(m_monitor[3]));
}

void PreviewRecording::MoveBubble(int x, int y) {
    if (m_side > 0 && m_recorder) {
        const CameraOverlayConfig rect = BubbleRect(x, y);
        m_camera.rect = rect;
        m_recorder->SetCameraOverlayRect(rect.x, rect.y, rect.width, rect.height);
    }
}

void PreviewRecording::Restyle(cli::CameraShape shape, bool mirror) {
    m_camera.shape = shape;
    m_camera.mirror = mirror;
    if (m_recorder)
        m_recorder->SetCameraOverlayConfig(Overlay());
}

void PreviewRecording::Subscribe() {
    m_recorder->ErrorOccurred([observed = m_observed](NativeRecorder& r, const std::string& text) {
        std::lock_guard lock(observed->mutex);
        observed->error = text;
        // A start's own failure is the start's to say.
        if (r.IsRecording())
            Say(text);
    });
    m_recorder->ProgressUpdated(
        [observed = m_observed](NativeRecorder&, const std::shared_ptr<RecordingProgress>& p) {
            std::lock_guard lock(observed->mutex);
            observed->elapsed = p->ElapsedSeconds();
            observed->dropped = p->DroppedFrames();
        });
    m_recorder->RecordingStopped([observed = m_observed](NativeRecorder&, const std::string&) {
        std::lock_guard lock(observed->mutex);
        observed->stopped = true;
        observed->changed.notify_all();
    });
}

PreviewRecording::Outcome PreviewRecording::Finish() {
    Outcome outcome;
    if (m_finished)
        return outcome;
    m_finished = true;
    if (m_started) {
        const double seconds = m_recorder->ElapsedSeconds();
        m_recorder->Stop();
        std::unique_lock lock(m_observed->mutex);
        m_observed->changed.wait_for(lock, kStopWait, [&] { return m_observed->stopped; });
        std::error_code error;
        const auto bytes = std::filesystem::file_size(m_path, error);
        if (!error) {
            outcome.summary =
                cli::FormatSummary(m_path, std::max(seconds, m_observed->elapsed), kFps,
                                   m_observed->dropped, static_cast<int64_t>(bytes));
        }
        outcome.failed = error || !m_observed->error.empty();
    }
    // Only once the recording has stopped: it reads the lent frames until then.
    if (m_sharing)
        m_preview.EndCameraShare();
    m_sharing = false;
    return outcome;
}

}  // namespace tamro::preview
