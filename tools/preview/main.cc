// tamro-preview: the camera live in a bubble window on the screen, through the public API, and
// optionally a recording of the screen with that same camera in it.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "CameraLines.h"
#include "PreviewCommandLine.h"
#include "PreviewLoop.h"
#include "PreviewRecording.h"
#include "tamro/Desktop.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Last: Xlib's macros clash with names in the headers above.
#include "BubbleWindow.h"

namespace tamro::preview {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int32_t kCameraWidth = 1280;
constexpr int32_t kCameraHeight = 720;
constexpr int32_t kCameraFps = 30;
// The bubble's distance from the screen's bottom-right corner.
constexpr int kMargin = 24;

void Say(const std::string& text) {
    std::fprintf(stderr, "tamro-preview: %s\n", text.c_str());
}

int Fail(const std::string& text) {
    Say(text);
    return kExitFailed;
}

std::string NoDisplay() {
    const char* name = std::getenv("DISPLAY");
    return name && *name ? std::string("cannot open display ") + name
                         : "no X display: DISPLAY is not set";
}

// The bubble's top-left corner: the primary monitor's bottom-right, inside a margin.
std::pair<int, int> BubblePlace(const DesktopDescription& desktop, uint32_t size) {
    const auto primary = std::find_if(desktop.monitors.begin(), desktop.monitors.end(),
                                      [](const MonitorDescription& m) { return m.primary; });
    if (primary == desktop.monitors.end())
        return {kMargin, kMargin};
    const int side = static_cast<int>(size);
    return {std::max(primary->x, primary->x + static_cast<int>(primary->width) - side - kMargin),
            std::max(primary->y, primary->y + static_cast<int>(primary->height) - side - kMargin)};
}

// Refuses an existing file unless told to replace it: a recording is never lost by accident.
std::optional<std::string> CheckOutput(const PreviewCommandLine& line) {
    std::error_code error;
    if (line.record.empty() || !std::filesystem::exists(line.record, error))
        return std::nullopt;
    if (!std::filesystem::is_regular_file(line.record, error))
        return line.record + " is not a regular file";
    if (!line.overwrite)
        return line.record + " exists; -y or --overwrite replaces it";
    return std::nullopt;
}

int Preview(const PreviewCommandLine& line, const DesktopDescription& desktop,
            const sigset_t& stopSignals) {
    const auto [x, y] = BubblePlace(desktop, line.size);
    std::unique_ptr<BubbleWindow> window = BubbleWindow::Create("", x, y, line.size, true);
    if (!window)
        return Fail("the bubble window could not be made on the display");

    const CameraLines cameraLines;
    std::atomic<uint64_t> bitmaps{0};
    const std::shared_ptr<NativeRecorder> preview = NativeRecorder::Create();
    preview->PreviewFrameReady(
        [&bitmaps](NativeRecorder&, const std::shared_ptr<BgraBitmap>&) { ++bitmaps; });
    PreviewLoop loop(*preview, *window, line.camera);
    // Attached first, so that no picture takes the bitmaps' way while the window is there.
    if (!preview->AttachBubblePresenter(static_cast<int64_t>(window->Id()), line.size, line.size)) {
        Say("the bubble cannot be drawn into its window; the camera's pictures are counted "
            "instead");
        loop.SetDrawn(false);
    }
    loop.ShowLooks();
    if (!preview
             ->StartCameraPreviewAsync(line.camera.device, kCameraWidth, kCameraHeight, kCameraFps,
                                       loop.Effect())
             ->Get())
        return Fail(cameraLines.Failure(line.camera.device));

    std::unique_ptr<PreviewRecording> recording;
    if (!line.record.empty()) {
        std::string error;
        recording = PreviewRecording::Start(
            *preview,
            {line.record, line.synthetic ? ScreenSource::kSynthetic : ScreenSource::kDesktop,
             line.camera, std::array<int, 3>{x, y, static_cast<int>(line.size)}},
            &error);
        if (!recording) {
            preview->StopCameraPreview();
            return Fail(error);
        }
        Say("recording to " + line.record);
    }

    if (recording) {
        loop.OnMoved(
            [&recording](int movedX, int movedY) { recording->MoveBubble(movedX, movedY); });
        loop.OnRestyled([&recording](cli::CameraShape shape, bool mirror) {
            recording->Restyle(shape, mirror);
        });
    }
    loop.Run(line.seconds, stopSignals);

    // The recording stops and gives the camera back before the preview lets it go.
    const PreviewRecording::Outcome outcome =
        recording ? recording->Finish() : PreviewRecording::Outcome{};
    preview->StopCameraPreview();
    if (!loop.Drawn())
        Say(std::to_string(bitmaps.load()) + " camera pictures came back as bitmaps");
    if (!recording)
        return 0;
    if (outcome.summary.empty())
        return Fail("no file was written to " + line.record);
    std::printf("%s\n", outcome.summary.c_str());
    return outcome.failed ? kExitFailed : 0;
}

int Run(int argc, char** argv) {
    // Blocked before any thread starts, so that the waiting loop takes them and quits cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto parsed = ParsePreviewCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "tamro-preview: %s\nTry 'tamro-preview --help'.\n", error->c_str());
        return kExitUsage;
    }
    const PreviewCommandLine line = std::get<PreviewCommandLine>(std::move(parsed));
    if (line.help) {
        std::printf("%s", PreviewUsageText().c_str());
        return 0;
    }
    if (auto error = CheckOutput(line))
        return Fail(*error);
    if (!line.verbose)
        SetDiagnosticsToStandardError(false);
    const std::optional<DesktopDescription> desktop = DescribeDesktop(ScreenSource::kDesktop);
    if (!desktop)
        return Fail(NoDisplay());
    return Preview(line, *desktop, stopSignals);
}

}  // namespace
}  // namespace tamro::preview

int main(int argc, char** argv) {
    return tamro::preview::Run(argc, argv);
}
