#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/IMagnifierManager.h"
#include "platform/display/Magnification.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

// Animates the desktop's full-screen magnification around a point. Nothing on this platform can
// initialise full-screen magnification, so a default-built manager stays disabled and all its
// operations return at once; the focus zoom then crops instead.
// Threading: ZoomTo and Stop from any thread (serialised here); the animation runs on a thread of
// this object, which publishes the current zoom and offsets and paces itself on the options' clock.
class MagnifierManager final : public IMagnifierManager {
  public:
    struct Options {
        // Whether magnification was initialised; only a test can say yes here.
        bool enabled = false;
        // 0 when the transform was applied, else a system error code.
        std::function<uint32_t(double zoom, int32_t x, int32_t y)> setTransform =
            &platform::SetFullscreenMagnification;
        std::function<void()> uninitialize = &platform::UninitializeMagnification;
        std::shared_ptr<platform::Clock> clock = std::make_shared<platform::SteadyClock>();
    };

    MagnifierManager() : MagnifierManager(Options{}) {}
    explicit MagnifierManager(Options options);
    ~MagnifierManager() override;

    MagnifierManager(const MagnifierManager&) = delete;
    MagnifierManager& operator=(const MagnifierManager&) = delete;

    // IMagnifierManager
    bool IsEnabled() const override { return m_enabled; }
    bool IsAnimating() const override { return m_animating; }
    double CurrentZoom() const override { return m_currentZoom; }
    void ZoomTo(double zoom, double centerX, double centerY, int32_t width, int32_t height,
                double durationMs) override;
    MagnifierOffset ComputeOffset(double centerX, double centerY, int32_t width, int32_t height,
                                  double zoom) const override;
    bool ApplyTransform(double zoom, int32_t x, int32_t y) override;
    void Stop() override;

    MagnifierOffset CurrentOffset() const { return {m_offsetX, m_offsetY}; }

    static constexpr double kMaximumZoom = 10.0;
    static constexpr int64_t kStepNs = 16'000'000;

  private:
    struct Animation {
        double startZoom = 1.0;
        double targetZoom = 1.0;
        double centerX = 0;
        double centerY = 0;
        int32_t width = 1920;
        int32_t height = 1080;
        double durationMs = 200;
        int64_t startNs = 0;
    };

    void EndAnimation();
    void AnimationThread();
    // One frame of the animation; false once the target has been reached.
    bool AnimationStep();
    void Publish(double zoom, const MagnifierOffset& offset);

    const Options m_options;
    std::atomic<bool> m_enabled;
    std::atomic<bool> m_animating{false};
    std::atomic<bool> m_stopRequest{false};
    std::atomic<double> m_currentZoom{1.0};
    std::atomic<int32_t> m_offsetX{0};
    std::atomic<int32_t> m_offsetY{0};

    std::mutex m_mutex;                  // guards m_animation and the animation thread's sleep
    std::condition_variable_any m_wake;  // ends the sleep at a stop request
    Animation m_animation;

    std::mutex m_controlMutex;  // serialises ZoomTo and Stop around the thread
    std::thread m_animationThread;
};

}  // namespace tamro
