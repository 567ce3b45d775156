#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "camera/ICameraFrameEffect.h"
#include "platform/gfx/Device.h"
#include "tamro/Records.h"

namespace tamro {

// The producer side of a camera preview lent to recordings: a texture shared by handle and
// guarded by a keyed mutex, into which every preview frame is published after the share's own
// background effect, with the frame's time in the process-wide share registry.
//
// Threading: everything but SetSessionStart runs under the owning preview's camera lock (the
// frame path, the effect changes, begin and end never overlap); SetSessionStart from any thread.
class CameraShare {
  public:
    struct Environment {
        CameraEffectFactory effects;
        // Steady clock in nanoseconds, the clock of the recordings' session origins.
        std::function<int64_t()> clock;
    };

    explicit CameraShare(Environment environment);
    ~CameraShare();
    CameraShare(const CameraShare&) = delete;
    CameraShare& operator=(const CameraShare&) = delete;

    // The shared texture's handle (the same one while sharing), or 0 after a logged failure.
    uint64_t Begin(gfx::Device* device, uint32_t width, uint32_t height);
    void End();
    bool IsSharing() const { return m_sharing; }
    uint64_t Handle() const { return m_handle; }

    // `t` in 100-ns units as a recorder's SessionStartTime gives it; 0 or less clears the origin,
    // and published times are then 0.
    void SetSessionStart(int64_t t);

    // Publishes `frame` (on `device`) when its size and format are the share's. Returns the
    // frame with the share's effect applied, or null when no effect ran on it.
    gfx::Texture* Publish(gfx::Device* device, gfx::Texture* frame);

    // The effect of the share path; the preview's camera `device` at `width` x `height` is where
    // it runs (null: kept for later).
    void UpdateEffect(const BackgroundEffectConfig& config, gfx::Device* device, uint32_t width,
                      uint32_t height);
    const BackgroundEffectConfig& Effect() const { return m_effectConfig; }
    // The preview stopped: its camera's device goes, so does the effect that ran on it.
    void DropEffect() { m_effect.reset(); }

  private:
    gfx::Texture* RunEffect(gfx::Texture* frame);
    int64_t PublishedTime() const;

    Environment m_env;
    bool m_sharing = false;
    std::shared_ptr<gfx::Texture> m_texture;
    uint64_t m_handle = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    std::atomic<int64_t> m_sessionStartNs{0};
    std::atomic<bool> m_hasSessionStart{false};
    BackgroundEffectConfig m_effectConfig;
    std::unique_ptr<ICameraFrameEffect> m_effect;
    uint64_t m_effectFailures = 0;
};

}  // namespace tamro
