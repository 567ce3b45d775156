#pragma once

#include <memory>
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
    };

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
    void Subscribe();

    NativeRecorder& m_preview;
    std::string m_path;
    std::shared_ptr<NativeRecorder> m_recorder;
    std::shared_ptr<Observed> m_observed;
    bool m_sharing = false;
    bool m_started = false;
    bool m_finished = false;
};

}  // namespace tamro::preview
