#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"
#include "platform/system/SteadyClock.h"
#include "session/ComponentFactory.h"

namespace tamro::test {

// A gate that holds callers until opened; lets a test make a component call hang on purpose.
class Gate {
  public:
    void Open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void Pass() {
        std::unique_lock lock(m_mutex);
        m_waiting++;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    // Waits until someone is held at the gate.
    bool WaitForWaiter(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_waiting > 0; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_waiting = 0;
};

// What the fakes were told, and how they behave. Shared with the test so it outlives the
// components the recorder destroys.
struct FakeWorld {
    // Screen capture.
    bool screenHasDevice = true;
    bool screenInitResult = true;
    bool screenStartResult = true;
    std::atomic<bool> screenPaused{false};
    std::atomic<bool> screenStopped{false};
    std::atomic<int> screenDestroyed{0};
    Gate* screenDestroyGate = nullptr;  // a destructor waiting for a thread stuck in the platform
    std::optional<uint64_t> windowInitialized;
    std::vector<std::vector<int32_t>> cropRegions;
    int64_t screenOriginNs = 0;
    uint32_t screenFps = 0;
    std::atomic<uint64_t> screenLateFrames{0};
    std::string screenStartError;
    std::atomic<int> screenStarts{0};
    FrameCallback frameCallback;

    // Encoder.
    bool encoderInitResult = true;
    enum class Throw { kNothing, kStandard, kOther } encoderInitThrows = Throw::kNothing;
    std::atomic<bool> encoderWriteResult{true};
    Gate* encoderWriteGate = nullptr;
    std::chrono::milliseconds finalizeDuration{0};
    bool finalizeWrites = true;  // a slow finalisation writes all along; else it is stuck
    std::optional<EncoderSettings> encoderSettings;
    std::mutex writtenMutex;
    std::vector<int64_t> writtenVideoPts;
    std::vector<int64_t> writtenAudioPts;
    std::atomic<bool> finalized{false};
    std::atomic<bool> abandoned{false};
    std::string writeFailure;  // under writtenMutex
    std::string captureEnded;  // under writtenMutex
    std::atomic<int> encoderDestroyed{0};

    // Audio.
    std::vector<bool> audioInitResults;  // one per Initialize call, then true
    bool loopbackResult = true;
    uint32_t windowPid = 4242;
    struct AudioInit {
        bool captureSystem;
        bool captureMic;
    };
    std::vector<AudioInit> audioInits;
    int64_t audioDrainedTo = -1;
    std::vector<uint32_t> loopbackPids;
    int audioCreated = 0;
    std::atomic<double> micVolume{-1};
    std::atomic<double> systemVolume{-1};
    std::atomic<bool> audioPaused{false};
    AudioCallback audioCallback;

    // Focus zoom.
    std::atomic<bool> focusBusyForever{false};
    std::atomic<bool> focusStopped{false};
    std::optional<FocusZoomSettings> focusSettings;
    std::vector<bool> focusRequests;
    std::atomic<bool> focusStarted{false};
    std::atomic<int> pulses{0};
    std::atomic<bool> focusThrows{false};
    CropCallback cropCallback;

    // Camera: the bubble's device on the screen side, and the cameras it may open.
    std::shared_ptr<gfx::Device> screenDevice;
    platform::camera::CameraSystemProvider cameras;
    CameraEffectFactory effects;
    platform::window::BubbleSurfaceFactory surfaces;
    // A pixel of each written frame that has a texture (B, G, R, A), when a point is given.
    std::optional<std::pair<uint32_t, uint32_t>> probe;
    std::vector<std::array<uint8_t, 4>> probed;  // under writtenMutex

    // Session time: the steady clock until a test sets it.
    std::atomic<int64_t> nowNs{0};
};

// A 1280x720 monitor at 1920,0 on the desktop.
class FakeScreenCapture final : public IScreenCapture {
  public:
    explicit FakeScreenCapture(std::shared_ptr<FakeWorld> world) : m_world(std::move(world)) {}
    ~FakeScreenCapture() override {
        if (m_world->screenDestroyGate != nullptr) {
            m_world->screenDestroyGate->Pass();
        }
        m_world->screenDestroyed++;
    }

    bool HasDevice() const override { return m_world->screenHasDevice; }
    gfx::Device* GetDevice() const override { return m_world->screenDevice.get(); }
    void SetCaptureCursor(bool) override {}
    bool InitializeForMonitor(uint64_t) override { return m_world->screenInitResult; }
    bool InitializeForWindow(uint64_t window) override {
        m_world->windowInitialized = window;
        return m_world->screenInitResult;
    }
    uint32_t Width() const override { return 1280; }
    uint32_t Height() const override { return 720; }
    void SetCropRegion(int32_t x, int32_t y, int32_t w, int32_t h) override {
        m_world->cropRegions.push_back({x, y, w, h});
    }
    void ReleaseCrop() override {}
    void SetSessionStartTime(int64_t originNs) override { m_world->screenOriginNs = originNs; }
    void SetFrameRate(uint32_t fps) override { m_world->screenFps = fps; }
    bool Start(FrameCallback callback) override {
        m_world->screenStarts++;
        m_world->frameCallback = std::move(callback);
        return m_world->screenStartResult;
    }
    std::string LastError() const override { return m_world->screenStartError; }
    void SetPaused(bool paused) override { m_world->screenPaused = paused; }
    uint64_t LateFrames() const override { return m_world->screenLateFrames; }
    std::string CaptureEnded() const override {
        std::lock_guard lock(m_world->writtenMutex);
        return m_world->captureEnded;
    }
    void Stop() override { m_world->screenStopped = true; }

  private:
    std::shared_ptr<FakeWorld> m_world;
};

class FakeEncoder final : public IEncoder {
  public:
    explicit FakeEncoder(std::shared_ptr<FakeWorld> world) : m_world(std::move(world)) {}
    // As the real one, it waits for a finalisation that is still running.
    ~FakeEncoder() override {
        std::lock_guard lock(m_finalizing);
        m_world->encoderDestroyed++;
    }

    void SetD3DDevice(gfx::Device*) override {}
    bool Initialize(const EncoderSettings& settings) override {
        m_world->encoderSettings = settings;
        if (m_world->encoderInitThrows == FakeWorld::Throw::kStandard) {
            throw std::runtime_error("device lost");
        }
        if (m_world->encoderInitThrows == FakeWorld::Throw::kOther) {
            throw 42;
        }
        return m_world->encoderInitResult;
    }
    bool WriteVideoFrame(gfx::Texture* texture, int64_t timestamp) override {
        if (m_world->encoderWriteGate != nullptr) {
            m_world->encoderWriteGate->Pass();
        }
        std::lock_guard lock(m_world->writtenMutex);
        if (!m_world->encoderWriteResult) {
            return false;
        }
        m_world->writtenVideoPts.push_back(timestamp);
        if (m_world->probe && texture) {
            const uint8_t* p =
                texture->Row(m_world->probe->second) + size_t{m_world->probe->first} * 4;
            m_world->probed.push_back({p[0], p[1], p[2], p[3]});
        }
        return true;
    }
    void WriteAudioSample(const uint8_t*, uint32_t, int64_t timestamp, int64_t) override {
        std::lock_guard lock(m_world->writtenMutex);
        m_world->writtenAudioPts.push_back(timestamp);
    }
    void Finalize() override {
        std::lock_guard lock(m_finalizing);
        std::this_thread::sleep_for(m_world->finalizeDuration);
        m_world->finalized = true;
    }
    void Abandon() override { m_world->abandoned = true; }
    std::string WriteFailure() const override {
        std::lock_guard lock(m_world->writtenMutex);
        return m_world->writeFailure;
    }
    int64_t WriteProgress() const override {
        return m_world->finalizeWrites ? std::chrono::steady_clock::now().time_since_epoch().count()
                                       : 0;
    }

  private:
    std::shared_ptr<FakeWorld> m_world;
    std::mutex m_finalizing;
};

class FakeAudioCapture final : public IAudioCapture {
  public:
    explicit FakeAudioCapture(std::shared_ptr<FakeWorld> world) : m_world(std::move(world)) {}

    bool Initialize(bool captureSystem, bool captureMic, const std::string&, uint32_t, uint32_t,
                    bool, int32_t, int32_t) override {
        const size_t index = m_world->audioInits.size();
        m_world->audioInits.push_back({captureSystem, captureMic});
        return index < m_world->audioInitResults.size() ? m_world->audioInitResults[index] : true;
    }
    bool InitializeProcessLoopback(uint32_t pid) override {
        m_world->loopbackPids.push_back(pid);
        return m_world->loopbackResult;
    }
    void SetMicrophoneVolume(double volume) override { m_world->micVolume = volume; }
    void SetSystemVolume(double volume) override { m_world->systemVolume = volume; }
    void SetDuckingEnabled(bool) override {}
    void SetDuckingGain(double) override {}
    void SetDuckLevelDb(double) override {}
    void ConfigureLevels(const AudioLevels&) override {}
    void SetSessionStartTime(int64_t) override {}
    void SetPaused(bool paused) override { m_world->audioPaused = paused; }
    // The buffers hold a block that ends the video and one past its end.
    void Drain(int64_t endTimestamp) override {
        m_world->audioDrainedTo = endTimestamp;
        if (m_world->audioCallback) {
            m_world->audioCallback(nullptr, 4096, endTimestamp - 1, 213'333);
            m_world->audioCallback(nullptr, 4096, endTimestamp, 213'333);
        }
    }
    bool Start(AudioCallback callback) override {
        m_world->audioCallback = std::move(callback);
        return true;
    }
    void Stop() override {}
    bool IsMicrophoneSilent() const override { return false; }
    int64_t RingPrefill() const override { return 0; }
    std::string LostSources() const override { return {}; }
    bool LostWithServer() const override { return false; }

  private:
    std::shared_ptr<FakeWorld> m_world;
};

class FakeFocusZoomManager final : public IFocusZoomManager {
  public:
    explicit FakeFocusZoomManager(std::shared_ptr<FakeWorld> world) : m_world(std::move(world)) {}

    void Initialize(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                    const FocusZoomSettings& settings) override {
        m_world->focusSettings = settings;
    }
    void SetMagnifier(IMagnifierManager*) override {}
    void SetCropCallback(CropCallback callback) override {
        m_world->cropCallback = std::move(callback);
    }
    void Start() override { m_world->focusStarted = true; }
    void Stop() override { m_world->focusStopped = true; }
    void SetCursorFocusActive(bool active) override {
        if (m_world->focusThrows)
            throw std::runtime_error("focus machinery failed");
        m_world->focusRequests.push_back(active);
    }
    bool IsFocusActive() const override {
        return !m_world->focusRequests.empty() && m_world->focusRequests.back();
    }
    bool RequestPulse() override {
        ++m_world->pulses;
        return true;
    }
    void UpdateSettings(const FocusZoomSettings& settings) override {
        m_world->focusSettings = settings;
    }
    bool IsTransitionRunning() const override { return m_world->focusBusyForever; }
    bool IsTogglePending() const override { return false; }
    bool IsPulseRunning() const override { return false; }

  private:
    std::shared_ptr<FakeWorld> m_world;
};

class FakeMagnifierManager final : public IMagnifierManager {
  public:
    bool IsEnabled() const override { return false; }
    bool IsAnimating() const override { return false; }
    double CurrentZoom() const override { return 1.0; }
    void ZoomTo(double, double, double, int32_t, int32_t, double) override {}
    MagnifierOffset ComputeOffset(double, double, int32_t, int32_t, double) const override {
        return {};
    }
    bool ApplyTransform(double, int32_t, int32_t) override { return false; }
    void Stop() override {}
};

class FakeComponentFactory final : public ComponentFactory {
  public:
    explicit FakeComponentFactory(std::shared_ptr<FakeWorld> world) : m_world(std::move(world)) {}

    std::unique_ptr<IScreenCapture> CreateScreenCapture() override {
        return std::make_unique<FakeScreenCapture>(m_world);
    }
    std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() override {
        return std::make_unique<FakeFocusZoomManager>(m_world);
    }
    std::unique_ptr<IMagnifierManager> CreateMagnifierManager() override {
        return std::make_unique<FakeMagnifierManager>();
    }
    std::unique_ptr<IEncoder> CreateEncoder() override {
        return std::make_unique<FakeEncoder>(m_world);
    }
    std::unique_ptr<IAudioCapture> CreateAudioCapture() override {
        m_world->audioCreated++;
        return std::make_unique<FakeAudioCapture>(m_world);
    }
    std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t) override {
        return MonitorOrigin{1920, 0};
    }
    uint32_t WindowProcessId(uint64_t) override { return m_world->windowPid; }
    platform::camera::CameraSystemProvider Cameras() const override { return m_world->cameras; }
    CameraEffectFactory Effects() const override { return m_world->effects; }
    platform::window::BubbleSurfaceFactory BubbleSurfaces() const override {
        return m_world->surfaces;
    }
    std::function<int64_t()> Clock() const override {
        return [world = m_world] {
            const int64_t now = world->nowNs.load();
            return now != 0 ? now : platform::SteadyClockNs();
        };
    }

  private:
    std::shared_ptr<FakeWorld> m_world;
};

}  // namespace tamro::test
