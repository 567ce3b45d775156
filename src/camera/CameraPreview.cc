#include "camera/CameraPreview.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "platform/system/Environment.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

// Part of the log's wording, byte for byte: an em dash as it reads when its UTF-8 bytes are taken
// for single-byte characters. Tools that watch the log match it so.
#define TAMRO_PREVIEW_DASH "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D"

// Switches are read into 8 characters; only the first one counts.
constexpr size_t kSwitchBufferChars = 8;

bool SwitchedOff(const char* name) {
    const std::optional<std::string> value = platform::ReadEnvironment(name, kSwitchBufferChars);
    return value && !value->empty() && (*value)[0] == '0';
}

double Milliseconds(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

gfx::TextureDesc MailboxDesc(uint32_t width, uint32_t height) {
    return {.width = width,
            .height = height,
            .format = gfx::Format::kBGRA8,
            .usage = gfx::Usage::kDefault,
            .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget};
}

bool SameSize(const gfx::Texture& a, const gfx::Texture& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() && a.Desc().format == b.Desc().format;
}

}  // namespace

// The one-frame hand-over between the camera's delivery thread and the worker: `pending` is
// written by the delivery thread, `worker` is the worker's own. Each thread holds the object while
// it uses it, so a stop or a size change never frees a texture in use.
struct CameraPreview::Mailbox {
    gfx::Device* device = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    // Under the worker lock; the worker's texture is the worker's alone between exchanges.
    std::shared_ptr<gfx::Texture> pending;
    std::shared_ptr<gfx::Texture> worker;
    bool framePending = false;
    int64_t timestamp = 0;
    bool skipEffect = false;

    static std::shared_ptr<Mailbox> Create(gfx::Device* device, uint32_t width, uint32_t height) {
        auto mailbox = std::make_shared<Mailbox>();
        mailbox->device = device;
        mailbox->width = width;
        mailbox->height = height;
        const gfx::TextureDesc desc = MailboxDesc(width, height);
        if (!device || Failed(device->CreateTexture(desc, nullptr, 0, &mailbox->pending)) ||
            Failed(device->CreateTexture(desc, nullptr, 0, &mailbox->worker)))
            return nullptr;
        return mailbox;
    }
};

CameraPreview::CameraPreview(Environment environment)
    : m_env(std::move(environment)), m_share({m_env.effects, m_env.clock}) {}

CameraPreview::~CameraPreview() {
    Stop();
    EndShare();
}

int64_t CameraPreview::Now() const {
    return m_env.clock ? m_env.clock() : platform::SteadyClockNs();
}

// ---------------------------------------------------------------------------------------------
// Start and stop

bool CameraPreview::Start(const std::string& deviceId, int32_t width, int32_t height,
                          int32_t frameRate, const BackgroundEffectConfig& effect) {
    if (m_active.load())
        return true;
    if (m_startInProgress.exchange(true)) {
        LogLine("[NativeRecorder] StartCameraPreviewAsync: start already in progress\n");
        return false;
    }
    bool started = false;
    try {
        std::lock_guard control(m_controlMutex);
        started = StartBody(deviceId, width, height, frameRate, effect);
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] StartCameraPreviewAsync exception: %s\n", e.what());
        CleanupAfterFailedStart();
    } catch (...) {
        LogLine("[NativeRecorder] StartCameraPreviewAsync unknown exception\n");
        CleanupAfterFailedStart();
    }
    m_startInProgress.store(false);
    return started;
}

bool CameraPreview::StartBody(const std::string& deviceId, int32_t width, int32_t height,
                              int32_t frameRate, const BackgroundEffectConfig& effect) {
    const bool singleEffect = !SwitchedOff("TAMRO_SINGLE_EFFECT_PREVIEW");
    if (!singleEffect) {
        LogLine(
            "[NativeRecorder] Single-effect-pass preview DISABLED via "
            "TAMRO_SINGLE_EFFECT_PREVIEW=0\n");
    }
    m_singleEffect.store(singleEffect);
    if (!OpenCamera(deviceId, width, height, frameRate > 0 ? frameRate : 30))
        return false;
    CameraCapture* camera = nullptr;
    {
        std::lock_guard lock(m_cameraMutex);
        camera = m_camera.get();
    }
    // Outside the camera lock: frames may arrive at once, and find the preview not yet active.
    if (!camera->StartAsync([this](gfx::Texture* texture, int64_t) { OnCameraFrame(texture); })
             ->Get()) {
        LogLine("[NativeRecorder] Failed to start preview camera\n");
        CleanupAfterFailedStart();
        return false;
    }
    {
        std::lock_guard lock(m_cameraMutex);
        m_width = m_camera->Width();
        m_height = m_camera->Height();
        m_shareEffect = effect;
        SetUpEffect(effect);
        UpdateShareEffect();
        m_readback.Create(m_camera->GetDevice(), m_width, m_height);
    }
    StartWorker();
    m_active.store(true);
    return true;
}

bool CameraPreview::OpenCamera(const std::string& deviceId, int32_t width, int32_t height,
                               int32_t fps) {
    std::lock_guard lock(m_cameraMutex);
    m_width = static_cast<uint32_t>(std::max(width, 0));
    m_height = static_cast<uint32_t>(std::max(height, 0));
    m_camera = std::make_unique<CameraCapture>(m_env.cameras);
    m_camera->SetNegotiateFormat(false);
    m_camera->SetBufferedAcquisition(false);
    if (!m_camera->Initialize(deviceId, m_width, m_height, static_cast<uint32_t>(fps))) {
        LogLine("[NativeRecorder] Failed to initialize preview camera\n");
        m_camera.reset();
        return false;
    }
    m_width = m_camera->Width();
    m_height = m_camera->Height();
    return true;
}

// Under the camera lock.
void CameraPreview::SetUpEffect(const BackgroundEffectConfig& effect) {
    m_effect.reset();
    if (effect.Mode == 0)
        return;
    if (m_env.effects)
        m_effect = m_env.effects(m_camera->GetDevice(), m_width, m_height, effect);
    if (!m_effect)
        LogLine("[NativeRecorder] Warning: Preview effect processor init failed\n");
}

// Under the camera lock.
void CameraPreview::UpdateShareEffect() {
    m_share.UpdateEffect(m_shareEffect, m_camera ? m_camera->GetDevice() : nullptr, m_width,
                         m_height);
}

// Without the mailbox's textures the delivery thread processes frames itself.
void CameraPreview::StartWorker() {
    std::shared_ptr<Mailbox> mailbox;
    {
        std::lock_guard lock(m_cameraMutex);
        mailbox = Mailbox::Create(m_camera->GetDevice(), m_width, m_height);
    }
    if (!mailbox)
        return;
    std::lock_guard lock(m_workerMutex);
    m_mailbox = std::move(mailbox);
    m_workerRunning = true;
    m_worker = std::thread([this, generation = ++m_workerGeneration] { WorkerLoop(generation); });
}

void CameraPreview::CleanupAfterFailedStart() {
    std::unique_ptr<CameraCapture> camera;
    {
        std::lock_guard lock(m_cameraMutex);
        camera = std::move(m_camera);
    }
    try {
        if (camera)
            camera->Stop();
    } catch (...) {
        LogLine("[NativeRecorder] CleanupAfterFailedPreviewStart: Stop threw\n");
    }
    camera.reset();
    std::lock_guard lock(m_cameraMutex);
    m_effect.reset();
    m_readback.Release();
}

// A stop from a frame handler on the worker does not wait for the control lock: a stop on another
// thread may hold it while it waits for the worker.
void CameraPreview::Stop() {
    const bool onWorker = m_workerId.load() == std::this_thread::get_id();
    std::unique_lock control(m_controlMutex, std::defer_lock);
    if (!onWorker)
        control.lock();
    {
        std::lock_guard lock(m_cameraMutex);
        if (!m_active.load() && !m_camera)
            return;
        m_active.store(false);
    }
    StopWorker(onWorker);
    std::unique_ptr<CameraCapture> camera;
    {
        std::lock_guard lock(m_cameraMutex);
        camera = std::move(m_camera);
    }
    if (camera)
        camera->Stop();
    camera.reset();
    std::lock_guard lock(m_cameraMutex);
    m_effect.reset();
    m_readback.Release();
    m_gpuBubbleActive.store(false);
    m_presenter.reset();
    m_share.DropEffect();
}

// A stop from a frame handler on the worker itself cannot join it: the worker then leaves by
// itself once the handler returns.
void CameraPreview::StopWorker(bool onWorker) {
    {
        std::lock_guard lock(m_workerMutex);
        if (!m_workerRunning)
            return;
        m_workerRunning = false;
        m_mailbox.reset();
    }
    m_workerWake.notify_all();
    if (onWorker)
        m_worker.detach();
    else if (m_worker.joinable())
        m_worker.join();
}

// ---------------------------------------------------------------------------------------------
// Control while running

void CameraPreview::SetEffect(const BackgroundEffectConfig& effect) {
    std::lock_guard lock(m_cameraMutex);
    if (!m_active.load() || !m_camera)
        return;
    if (effect.Mode == 0) {
        m_effect.reset();
    } else if (m_effect) {
        m_effect->SetConfig(effect);
    } else if (m_env.effects) {
        m_effect =
            m_env.effects(m_camera->GetDevice(), m_camera->Width(), m_camera->Height(), effect);
    }
    m_shareEffect = effect;
    UpdateShareEffect();
}

bool CameraPreview::AttachBubble(uint64_t window, uint32_t width, uint32_t height) {
    std::lock_guard lock(m_cameraMutex);
    if (window == 0) {
        m_gpuBubbleActive.store(false);
        m_presenter.reset();
        return true;
    }
    if (SwitchedOff("TAMRO_GPU_BUBBLE"))
        return false;
    if (width == 0 || height == 0) {
        LogLine("[BubblePresenter] Initialize: invalid parameters\n");
        return false;
    }
    m_presenter = std::make_unique<BubblePresenter>(window, width, height, m_env.surfaces);
    m_gpuBubbleActive.store(true);
    if (PerfLog::IsPerfEnabled())
        PerfLog::Write("[PERF][Bubble] presenter bound %ux%u (zero-copy active)\n", width, height);
    return true;
}

void CameraPreview::SetBubbleAppearance(const BubblePresenter::Appearance& appearance) {
    std::lock_guard lock(m_cameraMutex);
    if (m_presenter)
        m_presenter->SetAppearance(appearance);
}

void CameraPreview::SetBubbleSize(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0)
        return;
    std::lock_guard lock(m_cameraMutex);
    if (m_presenter)
        m_presenter->SetSize(width, height);
}

bool CameraPreview::IsGpuBubbleActive() const {
    return m_gpuBubbleActive.load();
}

uint64_t CameraPreview::BeginShare() {
    std::lock_guard lock(m_cameraMutex);
    if (!m_camera) {
        LogLine("[NativeRecorder] BeginCameraShare: no preview capture\n");
        return 0;
    }
    return m_share.Begin(m_camera->GetDevice(), m_width, m_height);
}

void CameraPreview::EndShare() {
    std::lock_guard lock(m_cameraMutex);
    m_share.End();
}

// ---------------------------------------------------------------------------------------------
// Frames

void CameraPreview::OnCameraFrame(gfx::Texture* texture) {
    if (!texture || !m_active.load())
        return;
    const int64_t timestamp = Now();
    if (PublishShareFrame(texture, timestamp))
        return;
    std::shared_ptr<Mailbox> mailbox;
    {
        std::lock_guard lock(m_workerMutex);
        if (m_workerRunning)
            mailbox = m_mailbox;
    }
    if (mailbox && (mailbox->width != texture->Width() || mailbox->height != texture->Height())) {
        // The camera changed its size: the mailbox follows, the worker keeps the old one while it
        // finishes its frame.
        mailbox = Mailbox::Create(mailbox->device, texture->Width(), texture->Height());
        std::lock_guard lock(m_workerMutex);
        if (m_workerRunning && mailbox)
            m_mailbox = mailbox;
    }
    if (!mailbox) {
        ProcessFrame(texture, timestamp, false);
        return;
    }
    {
        std::lock_guard lock(m_workerMutex);
        if (Failed(
                mailbox->device->ImmediateContext().CopyResource(mailbox->pending.get(), texture)))
            return;
        mailbox->framePending = true;
        mailbox->skipEffect = false;
        mailbox->timestamp = timestamp;
    }
    m_workerWake.notify_one();
}

// The shared frame already carries the effect: in single-effect mode the preview shows it as it
// is instead of running its own effect on the raw frame.
bool CameraPreview::PublishShareFrame(gfx::Texture* texture, int64_t timestamp) {
    std::lock_guard lock(m_cameraMutex);
    if (!m_share.IsSharing() || !m_camera)
        return false;
    gfx::Device* device = m_camera->GetDevice();
    gfx::Texture* processed = m_share.Publish(device, texture);
    if (!processed || !m_singleEffect.load())
        return false;
    {
        std::lock_guard workerLock(m_workerMutex);
        if (!m_workerRunning || !m_mailbox || !SameSize(*m_mailbox->pending, *processed))
            return false;
        if (Failed(device->ImmediateContext().CopyResource(m_mailbox->pending.get(), processed)))
            return false;
        m_mailbox->framePending = true;
        m_mailbox->skipEffect = true;
        m_mailbox->timestamp = timestamp;
    }
    m_workerWake.notify_one();
    return true;
}

void CameraPreview::WorkerLoop(uint64_t generation) {
    std::thread::id self = std::this_thread::get_id();
    m_workerId.store(self);
    for (;;) {
        std::shared_ptr<Mailbox> mailbox;
        int64_t timestamp = 0;
        bool skipEffect = false;
        {
            std::unique_lock lock(m_workerMutex);
            const auto current = [&] {
                return m_workerRunning && generation == m_workerGeneration;
            };
            m_workerWake.wait(lock,
                              [&] { return !current() || (m_mailbox && m_mailbox->framePending); });
            if (!current()) {
                m_workerId.compare_exchange_strong(self, {});
                return;
            }
            // The pending frame becomes the worker's by exchange rather than by a copy: the
            // delivery thread writes only the pending texture, and only under this lock.
            mailbox = m_mailbox;
            std::swap(mailbox->pending, mailbox->worker);
            mailbox->framePending = false;
            timestamp = mailbox->timestamp;
            skipEffect = mailbox->skipEffect;
        }
        ProcessFrame(mailbox->worker.get(), timestamp, skipEffect);
    }
}

// Bitmaps are raised after the camera lock is released, so that a handler may change the
// preview.
void CameraPreview::ProcessFrame(gfx::Texture* texture, int64_t timestamp, bool skipEffect) {
    std::shared_ptr<BgraBitmap> bitmap = ProcessLocked(texture, timestamp, skipEffect);
    if (bitmap && m_env.previewFrame)
        m_env.previewFrame(std::move(bitmap));
}

std::shared_ptr<BgraBitmap> CameraPreview::ProcessLocked(gfx::Texture* texture, int64_t timestamp,
                                                         bool skipEffect) {
    std::lock_guard lock(m_cameraMutex);
    if (!m_active.load() || !texture || !m_camera)
        return nullptr;
    const int64_t begin = Now();
    const bool report = ++m_frames % 30 == 1;
    m_width = texture->Width();
    m_height = texture->Height();
    double effectMs = 0;
    gfx::Texture* frame = texture;
    if (!skipEffect && m_effect) {
        gfx::Texture* output = nullptr;
        if (m_effect->ProcessFrame(texture, &output) && output)
            frame = output;
        effectMs = Milliseconds(Now() - begin);
    }
    if (PresentToBubble(frame, timestamp, effectMs))
        return nullptr;
    const int64_t readbackBegin = Now();
    std::shared_ptr<BgraBitmap> bitmap = m_readback.Convert(m_camera->GetDevice(), frame);
    const int64_t end = Now();
    if (bitmap)
        NoteFrameTime(timestamp);
    else if (report)
        LogLine("[NativeRecorder] ConvertTextureToSoftwareBitmap returned null\n");
    if (report && PerfLog::IsPerfEnabled()) {
        PerfLog::Write("[PERF][Preview] effect=%.1fms readback=%.1fms total=%.1fms\n", effectMs,
                       Milliseconds(end - readbackBegin), Milliseconds(end - begin));
    }
    return bitmap;
}

// Under the camera lock. False when the frame is left to the readback path.
bool CameraPreview::PresentToBubble(gfx::Texture* frame, int64_t timestamp, double effectMs) {
    if (!m_gpuBubbleActive.load() || !m_presenter)
        return false;
    const int64_t begin = Now();
    if (m_presenter->Present(m_camera->GetDevice(), frame)) {
        const int64_t end = Now();
        NoteFrameTime(timestamp);
        if (m_frames % 30 == 1 && PerfLog::IsPerfEnabled()) {
            PerfLog::Write("[PERF][Preview] effect=%.1fms gpuPresent=%.1fms (zero-copy)\n",
                           effectMs, Milliseconds(end - begin));
        }
        if (m_env.presented)
            m_env.presented(timestamp, end);
        return true;
    }
    // Latched until the window is attached again.
    m_gpuBubbleActive.store(false);
    LogLine("[NativeRecorder] GPU bubble present failed " TAMRO_PREVIEW_DASH
            " falling back to layered readback path\n");
    if (PerfLog::IsPerfEnabled()) {
        PerfLog::Write("[PERF][Bubble] GPU present FAILED " TAMRO_PREVIEW_DASH
                       " latched off, layered readback takes over\n");
    }
    return false;
}

void CameraPreview::NoteFrameTime(int64_t timestamp) {
    if (timestamp != 0)
        m_lastFrameTime.store(timestamp);
}

}  // namespace tamro
