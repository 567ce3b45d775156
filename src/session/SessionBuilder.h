#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/IAudioCapture.h"
#include "capture/FocusRect.h"
#include "capture/IFocusZoomManager.h"
#include "capture/IMagnifierManager.h"
#include "capture/IScreenCapture.h"
#include "encode/IEncoder.h"
#include "session/ComponentFactory.h"
#include "tamro/RecordingConfig.h"

namespace tamro {

// The components of one recording session.
struct SessionParts {
    std::unique_ptr<IScreenCapture> screen;
    std::unique_ptr<IAudioCapture> audio;  // null when the session records no sound
    std::unique_ptr<IEncoder> encoder;
    std::unique_ptr<IFocusZoomManager> focusZoom;
    std::unique_ptr<IMagnifierManager> magnifier;
    MonitorOrigin origin;
    int64_t frameDuration = 0;  // 100-ns units
};

// Builds a session from a configuration: every component created, configured and wired, the
// encoder's file open. A build gives a whole session or nothing; the focus zoom is left for the
// owner to start once the session is its own.
// Threading: one build at a time, on the caller's thread.
class SessionBuilder {
  public:
    // A prepared build records the system sound even for a window and reports its failures in
    // the log only.
    enum class Kind { kStart, kPrepare };
    using CropCallback = std::function<void(const FocusRect& rect)>;

    SessionBuilder(ComponentFactory& factory, Kind kind, CropCallback onCrop);

    // Null with `error` set when the session cannot be built; a failure of the audio alone still
    // builds a session, without sound from the sources that failed.
    std::unique_ptr<SessionParts> Build(const RecordingConfig& config, std::string& error);

    static FocusZoomSettings WithDefaults(const FocusZoomSettings& settings);
    static double ClampVolume(double volume);

  private:
    bool CheckFrameRate(const RecordingConfig& config, std::string& error) const;
    bool Fail(const char* message, std::string& error) const;
    bool InitializeScreenCapture(const RecordingConfig& config);
    bool SetUpCaptureRegion(const RecordingConfig& config, int32_t& capturedWidth,
                            int32_t& capturedHeight, std::string& error);
    void SetUpFocusZoom(const RecordingConfig& config, int32_t capturedWidth,
                        int32_t capturedHeight, int32_t outputWidth, int32_t outputHeight);
    bool OpenEncoder(const RecordingConfig& config, int32_t outputWidth, int32_t outputHeight);
    static void WarnOfLowSpace(const std::string& path);
    void SetUpAudio(const RecordingConfig& config);
    bool TryProcessAudio(const RecordingConfig& config);
    bool CreateInitializedAudio(const RecordingConfig& config, bool captureSystem);
    void ApplyAudioSettings(const RecordingConfig& config);

    ComponentFactory& m_factory;
    const Kind m_kind;
    CropCallback m_onCrop;
    std::unique_ptr<SessionParts> m_parts;
};

}  // namespace tamro
