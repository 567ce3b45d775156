#include "session/ComponentFactory.h"

#include "audio/AudioCapture.h"
#include "capture/FocusZoomManager.h"
#include "capture/MagnifierManager.h"
#include "capture/ScreenCapture.h"
#include "encode/Encoder.h"
#include "platform/audio/AudioDevicesFactory.h"
#include "platform/display/DisplayFactory.h"

namespace tamro {
namespace {

// The platform components on a display opened on first use; those still missing are null, and a
// session without them says so.
class PlatformComponentFactory final : public ComponentFactory {
  public:
    PlatformComponentFactory(platform::DisplayBackend display,
                             platform::AudioDevicesConnector audio)
        : m_display(display), m_audio(std::move(audio)) {}

    std::unique_ptr<IScreenCapture> CreateScreenCapture() override {
        return std::make_unique<ScreenCapture>(Desktop());
    }
    std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() override {
        return std::make_unique<FocusZoomManager>(
            [desktop = Desktop()]() -> std::optional<platform::CursorPosition> {
                return desktop ? desktop->Cursor() : std::nullopt;
            });
    }
    std::unique_ptr<IMagnifierManager> CreateMagnifierManager() override {
        return std::make_unique<MagnifierManager>();
    }
    std::unique_ptr<IEncoder> CreateEncoder() override { return std::make_unique<Encoder>(); }
    // Without an audio server, Initialize fails and the session records no audio.
    std::unique_ptr<IAudioCapture> CreateAudioCapture() override {
        return std::make_unique<AudioCapture>(
            AudioCapture::Options{.connect = m_audio, .clock = {}, .pacing = {}});
    }
    std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t monitor) override {
        const auto desktop = Desktop();
        const auto info = desktop ? desktop->FindMonitor(monitor) : std::nullopt;
        if (!info)
            return std::nullopt;
        return MonitorOrigin{info->x, info->y};
    }
    uint32_t WindowProcessId(uint64_t window) override {
        const auto desktop = Desktop();
        return desktop ? desktop->WindowProcessId(window) : 0;
    }

  private:
    // Null when the display cannot be opened (captures then fail to initialise).
    std::shared_ptr<platform::Display> Desktop() {
        std::call_once(m_opened, [this] { m_desktop = platform::OpenDisplay(m_display); });
        return m_desktop;
    }

    const platform::DisplayBackend m_display;
    const platform::AudioDevicesConnector m_audio;
    std::once_flag m_opened;
    std::shared_ptr<platform::Display> m_desktop;
};

// A chime on the system output and a speech-like microphone, so recordings have sound to hear.
std::shared_ptr<const platform::SyntheticAudioSetup> SyntheticSounds() {
    auto setup = std::make_shared<platform::SyntheticAudioSetup>();
    platform::SyntheticStream chime;
    chime.waveform = platform::SyntheticStream::Waveform::kChime;
    chime.amplitude = 0.4;
    setup->render = chime;
    platform::SyntheticStream voice;
    voice.waveform = platform::SyntheticStream::Waveform::kSpeech;
    voice.format = {.sampleRate = 48000, .channels = 1, .bitsPerSample = 16, .isFloat = false};
    voice.amplitude = 0.5;
    setup->captureDevices["synthetic-mic"] = voice;
    setup->defaultCommunications = "synthetic-mic";
    setup->defaultMultimedia = "synthetic-mic";
    return setup;
}

}  // namespace

std::unique_ptr<ComponentFactory> ComponentFactory::CreateDefault() {
    return std::make_unique<PlatformComponentFactory>(platform::DisplayBackend::kPlatform,
                                                      DefaultAudio());
}

platform::AudioDevicesConnector ComponentFactory::DefaultAudio() {
    return platform::PlatformAudioDevices();
}

platform::AudioDevicesConnector ComponentFactory::SyntheticAudio() {
    return platform::SyntheticAudio(SyntheticSounds());
}

std::unique_ptr<ComponentFactory> ComponentFactory::CreateSynthetic() {
    return std::make_unique<PlatformComponentFactory>(platform::DisplayBackend::kSynthetic,
                                                      SyntheticAudio());
}

}  // namespace tamro
