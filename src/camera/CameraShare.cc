#include "camera/CameraShare.h"

#include <algorithm>
#include <utility>

#include "camera/CameraShareRegistry.h"
#include "diag/Log.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

BackgroundEffectConfig ShareEffect(BackgroundEffectConfig config) {
    if (config.Quality == 0)
        config.Quality = 3;
    return config;
}

}  // namespace

CameraShare::CameraShare(Environment environment) : m_env(std::move(environment)) {}

CameraShare::~CameraShare() {
    End();
}

uint64_t CameraShare::Begin(gfx::Device* device, uint32_t width, uint32_t height) {
    if (m_sharing && m_handle != 0)
        return m_handle;
    if (!device) {
        LogLine("[NativeRecorder] BeginCameraShare: no preview device\n");
        return 0;
    }
    if (width == 0 || height == 0) {
        LogLine("[NativeRecorder] BeginCameraShare: preview dimensions not ready\n");
        return 0;
    }
    const gfx::TextureDesc desc{.width = width,
                                .height = height,
                                .format = gfx::Format::kBGRA8,
                                .usage = gfx::Usage::kDefault,
                                .bindFlags = gfx::kBindShaderResource,
                                .miscFlags = gfx::kMiscSharedKeyedMutex};
    std::shared_ptr<gfx::Texture> texture;
    if (Failed(device->CreateTexture(desc, nullptr, 0, &texture)) || !texture) {
        LogLine("[NativeRecorder] BeginCameraShare: share texture create failed\n");
        return 0;
    }
    if (texture->SharedHandle() == 0 || !texture->GetKeyedMutex()) {
        LogLine("[NativeRecorder] BeginCameraShare: GetSharedHandle failed\n");
        return 0;
    }
    m_texture = std::move(texture);
    m_handle = m_texture->SharedHandle();
    m_width = width;
    m_height = height;
    CameraShareRegistry::Instance().Add(m_handle);
    m_sharing = true;
    if (m_effectConfig.Mode != 0)
        UpdateEffect(m_effectConfig, device, width, height);
    return m_handle;
}

void CameraShare::End() {
    if (!m_sharing && !m_texture)
        return;
    m_sharing = false;
    m_effect.reset();
    CameraShareRegistry::Instance().Remove(m_handle);
    m_handle = 0;
    m_texture.reset();
}

void CameraShare::SetSessionStart(int64_t t) {
    if (t > 0) {
        m_sessionStartNs.store(t * 100);
        m_hasSessionStart.store(true);
    } else {
        m_hasSessionStart.store(false);
    }
}

int64_t CameraShare::PublishedTime() const {
    if (!m_hasSessionStart.load())
        return 0;
    const int64_t now = m_env.clock ? m_env.clock() : platform::SteadyClockNs();
    return std::max<int64_t>((now - m_sessionStartNs.load()) / 100, 0);
}

gfx::Texture* CameraShare::RunEffect(gfx::Texture* frame) {
    if (!m_effect) {
        CameraShareRegistry::Instance().ClearEffectTime(m_handle);
        return nullptr;
    }
    const int64_t start = platform::SteadyClockNs();
    gfx::Texture* output = nullptr;
    const bool applied = m_effect->ProcessFrame(frame, &output) && output;
    const int64_t duration = platform::SteadyClockNs() - start;
    if (!applied && m_effectFailures++ % 30 == 0) {
        LogLine("[NativeRecorder] Share effect failed (%lldms)\n",
                static_cast<long long>(duration / 1'000'000));
    }
    CameraShareRegistry::Instance().AddEffectTime(m_handle, std::max<int64_t>(duration / 100, 1));
    return applied ? output : nullptr;
}

gfx::Texture* CameraShare::Publish(gfx::Device* device, gfx::Texture* frame) {
    if (!frame || !m_sharing)
        return nullptr;
    const int64_t t = PublishedTime();
    gfx::Texture* processed = RunEffect(frame);
    gfx::Texture* source = processed ? processed : frame;
    gfx::KeyedMutex* mutex = m_texture->GetKeyedMutex();
    if (source->Width() == m_width && source->Height() == m_height &&
        source->Desc().format == gfx::Format::kBGRA8 && mutex->AcquireSync(0, 0) == kOk) {
        if (Succeeded(device->ImmediateContext().CopyResource(m_texture.get(), source)))
            CameraShareRegistry::Instance().SetLastTimestamp(m_handle, t);
        mutex->ReleaseSync(1);
    }
    return processed;
}

void CameraShare::UpdateEffect(const BackgroundEffectConfig& config, gfx::Device* device,
                               uint32_t width, uint32_t height) {
    m_effectConfig = config;
    if (config.Mode == 0) {
        m_effect.reset();
        CameraShareRegistry::Instance().ClearEffectTime(m_handle);
        return;
    }
    // Made only while sharing: the preview runs its own effect until then.
    if (!device || !m_sharing)
        return;
    if (!m_effect && m_env.effects) {
        m_effect = m_env.effects(device, width, height, ShareEffect(config));
        if (!m_effect)
            LogLine("[NativeRecorder] Share effect processor init failed\n");
    }
    if (m_effect)
        m_effect->SetConfig(ShareEffect(config));
}

}  // namespace tamro
