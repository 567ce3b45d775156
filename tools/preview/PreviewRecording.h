#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "CameraOptions.h"
#include "tamro/Desktop.h"
#include "tamro/NativeRecorder.h"

namespace tamro::preview {

// A recording of the screen by a recorder of its own, with the preview's camera lent to it for
// the bubble: the camera is opened once, and its effect runs once for both.
// Threading: one thread. The recorder's events arrive on its threads and touch only the state
// shared with them, under that state's lock.
class PreviewRecording {
  public:
    struct Settings {
        std::string path;
        ScreenSource source = ScreenSource::kDesktop;
        cli::CameraOptions camera;  // the device, and the looks of the recording's bubble
        // Where the bubble window lies on the recorded screen (pixels, top-left corner and side):
        // the recording's bubble is drawn over it there, rather than beside its picture.
        std::optional<std::array<int, 3>> window;
    };

    // The bubble window was moved to (x, y) on the screen: the recording's bubble follows.
    void MoveBubble(int x, int y);
    // The window's shape or mirror changed: the recording's bubble takes them too.
    void Restyle(cli::CameraShape shape, bool mirror);

    // How the recording went. Its failures are said on standard error as they happen; the file
    // keeps what was recorded before them.
    struct Outcome {
        std::string summary;  // the closing line; empty when no file was written
        bool failed = false;
    };

    // Null with `*error` set when the camera cannot be lent or the recording does not start; the
    // camera is taken back then.
    static std::unique_ptr<PreviewRecording> Start(NativeRecorder& preview,
                                                   const Settings& settings, std::string* error);

    struct Key {
      private:
        Key() = default;
        friend class PreviewRecording;
    };
    PreviewRecording(Key, NativeRecorder& preview, std::string path);
    // Finishes a recording not finished yet.
    ~PreviewRecording();
    PreviewRecording(const PreviewRecording&) = delete;
    PreviewRecording& operator=(const PreviewRecording&) = delete;

    // Stops the recording, then takes the camera back from it. Only the first call stops.
    Outcome Finish();

  private:
    struct Observed;

    bool Begin(const Settings& settings, std::string* error);
    // The window at (x, y) as a rectangle of the recorded monitor (0..1).
    CameraOverlayConfig BubbleRect(int x, int y) const;
    CameraOverlayConfig Overlay() const;
    void Subscribe();

    NativeRecorder& m_preview;
    std::string m_path;
    // The recorded monitor's rectangle and the window's side, for placing the bubble over it.
    std::array<int, 4> m_monitor{};
    int m_side = 0;
    cli::CameraOptions m_camera;  // the recording bubble's looks and place, as last set
    std::shared_ptr<NativeRecorder> m_recorder;
    std::shared_ptr<Observed> m_observed;
    bool m_sharing = false;
    bool m_started = false;
    bool m_finished = false;
};

}  // namespace tamro::preview
