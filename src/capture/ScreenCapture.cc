#include "capture/ScreenCapture.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "capture/RegionCheck.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "platform/system/BackgroundTask.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro {

namespace {

using platform::SteadyClockNs;

constexpr auto kStopWait = std::chrono::milliseconds(500);
constexpr uint32_t kPoolBuffers = 2;
constexpr int kStatisticsTicks = 150;

// Process-wide count of out-of-bounds crop boxes; never reset.
std::atomic<int32_t> g_invalidCropCount{0};

const char* PlatformMessage(int32_t code) {
    switch (code) {
        case kInvalidArg:
            return "The parameter is incorrect.";
        case kOutOfMemory:
            return "Not enough memory resources are available to complete this operation.";
        case kPointer:
            return "Invalid pointer";
        default:
            return "Unspecified error";
    }
}

// A start phase reports failure by its platform code or an exception.
struct PhaseError {
    int32_t code;
};

void Check(int32_t code) {
    if (Failed(code))
        throw PhaseError{code};
}

gfx::TextureDesc RenderableDesc(uint32_t width, uint32_t height) {
    gfx::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = gfx::Format::kBGRA8;
    desc.bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget;
    return desc;
}

void RaiseToAtLeast(std::atomic<uint32_t>& maximum, uint32_t value) {
    uint32_t current = maximum.load();
    while (current < value && !maximum.compare_exchange_weak(current, value)) {
    }
}

}  // namespace

ScreenCapture::ScreenCapture(std::shared_ptr<platform::Display> display, DeviceCreator createDevice)
    : m_display(std::move(display)), m_createDevice(std::move(createDevice)) {
    CreateDevice();
}

ScreenCapture::~ScreenCapture() {
    Stop();
    m_handlerGate->Close();
    std::unique_lock lock(m_lifetimeMutex);
    m_pacerExited.wait(lock, [&] { return !m_pacerAlive; });
}

void ScreenCapture::CreateDevice() {
    m_device.reset();
    m_context = nullptr;
    int32_t result = kFail;
    m_device = m_createDevice(gfx::DriverType::kHardware, &result);
    if (!m_device)
        m_device = m_createDevice(gfx::DriverType::kWarp, &result);
    if (!m_device) {
        LogLine("[ScreenCapture] Failed to create D3D11 device\n");
        return;
    }
    m_context = &m_device->ImmediateContext();
}

bool ScreenCapture::HasDevice() const {
    return m_device != nullptr;
}

bool ScreenCapture::InitializeForMonitor(uint64_t monitor) {
    try {
        std::unique_ptr<platform::CaptureItem> item;
        const int32_t result = m_display ? m_display->CreateItemForMonitor(monitor, &item) : kFail;
        if (Failed(result) || !item) {
            LogLine("[ScreenCapture] CreateForMonitor failed: 0x%08X\n",
                    static_cast<uint32_t>(Failed(result) ? result : kFail));
            return false;
        }
        const platform::FrameSize size = item->Size();
        m_item = std::move(item);
        m_windowHandle = 0;
        m_poolWidth = size.width;
        m_poolHeight = size.height;
        CreateFramePoolAhead();
        std::lock_guard lock(m_cropMutex);
        m_sourceWidth = size.width;
        m_sourceHeight = size.height;
        return true;
    } catch (const std::exception&) {
        LogLine("[ScreenCapture] Exception creating capture item: 0x%08X\n",
                static_cast<uint32_t>(kFail));
        return false;
    }
}

bool ScreenCapture::InitializeForWindow(uint64_t window) {
    try {
        std::unique_ptr<platform::CaptureItem> item;
        if (!m_display || Failed(m_display->CreateItemForWindow(window, &item)) || !item) {
            return false;
        }
        const platform::FrameSize size = item->Size();
        const std::optional<platform::MonitorInfo> monitor =
            m_display->MonitorNearestWindow(window);
        m_item = std::move(item);
        m_windowHandle = window;
        m_poolWidth = size.width;
        m_poolHeight = size.height;
        CreateFramePoolAhead();
        std::lock_guard lock(m_cropMutex);
        m_sourceWidth = monitor ? monitor->width : size.width;
        m_sourceHeight = monitor ? monitor->height : size.height;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The pool's buffers take tens of milliseconds to create; made here, they are ready when the
// capture starts, which matters most for a prepared session. Start makes one if this failed.
void ScreenCapture::CreateFramePoolAhead() {
    m_framePool.reset();
    if (!m_device || !m_item)
        return;
    const platform::FrameSize size = m_item->Size();
    if (Failed(m_display->CreateFramePool(m_device, *m_item, kPoolBuffers, size, &m_framePool)))
        m_framePool.reset();
    m_framePoolSize = size;
}

std::optional<CropBox> ScreenCapture::ClampCrop(int32_t x, int32_t y, int32_t width, int32_t height,
                                                uint32_t sourceWidth, uint32_t sourceHeight) {
    const int32_t sw = static_cast<int32_t>(sourceWidth);
    const int32_t sh = static_cast<int32_t>(sourceHeight);
    const int32_t x0 = std::max(std::min(x, sw - 1), 0);
    const int32_t y0 = std::max(std::min(y, sh - 1), 0);
    const int32_t w1 = std::min(width, sw - x0);
    const int32_t h1 = std::min(height, sh - y0);
    const CropBox box{x0, y0, w1 / 2 * 2, h1 / 2 * 2};
    if (box.width < kMinimumCropSize || box.height < kMinimumCropSize) {
        LogLine("[ScreenCapture] Crop region too small after clamping: %dx%d, ignoring\n",
                box.width, box.height);
        return std::nullopt;
    }
    return box;
}

void ScreenCapture::SetCropRegion(int32_t x, int32_t y, int32_t width, int32_t height) {
    std::lock_guard lock(m_cropMutex);
    if (width <= 0 || height <= 0) {
        if (m_cropActive)
            ++m_cropGeneration;
        m_cropActive = false;
        return;
    }
    const std::optional<CropBox> box =
        ClampCrop(x, y, width, height, m_sourceWidth, m_sourceHeight);
    if (!box)
        return;
    if (!m_cropActive || !(m_crop == *box))
        ++m_cropGeneration;
    m_crop = *box;
    m_cropActive = true;
}

void ScreenCapture::ReleaseCrop() {
    SetCropRegion(0, 0, 0, 0);
}

std::optional<CropBox> ScreenCapture::CurrentCrop() const {
    std::lock_guard lock(m_cropMutex);
    if (!m_cropActive)
        return std::nullopt;
    return m_crop;
}

void ScreenCapture::SetSessionStartTime(int64_t originNs) {
    m_presetStartNs = originNs;
    m_hasPresetStart = true;
}

std::string ScreenCapture::LastError() const {
    std::lock_guard lock(m_lastErrorMutex);
    return m_lastError;
}

bool ScreenCapture::Start(FrameCallback callback) {
    std::lock_guard state(m_stateMutex);
    auto fail = [&](const char* error, const char* line) {
        {
            std::lock_guard lock(m_lastErrorMutex);
            m_lastError = error;
        }
        LogLine("%s", line);
        return false;
    };
    if (m_isCapturing) {
        return fail("Screen capture is already active",
                    "[ScreenCapture] Start failed: already capturing\n");
    }
    if (!m_item) {
        return fail("Capture item is missing",
                    "[ScreenCapture] Start failed: capture item missing\n");
    }
    {
        std::lock_guard lock(m_callbackMutex);
        m_frameCallback =
            callback ? std::make_shared<const FrameCallback>(std::move(callback)) : nullptr;
    }
    {
        std::lock_guard lock(m_lastErrorMutex);
        m_lastError.clear();
    }
    if (!StartPhases())
        return false;

    m_isCapturing = true;
    m_pacerRunning = true;
    {
        std::lock_guard lock(m_lifetimeMutex);
        m_pacerAlive = true;
    }
    m_pacerThread = std::thread([this] { FramePacerThread(); });
    LogLine("[ScreenCapture] Start: capture started\n");
    return true;
}

bool ScreenCapture::StartPhases() {
    const char* phase = "initializing";
    auto failLine = [&](std::string line) {
        LogLine("%s", line.c_str());
        std::lock_guard lock(m_lastErrorMutex);
        m_lastError = std::move(line);
        return false;
    };
    try {
        const platform::FrameSize size = m_item->Size();
        LogLine("[ScreenCapture] Start: creating frame pool for %dx%d, cursor=%d\n",
                static_cast<int>(size.width), static_cast<int>(size.height),
                m_captureCursor ? 1 : 0);

        phase = "creating frame pool";
        if (!m_device)
            Check(kFail);
        if (!m_framePool || !(m_framePoolSize == size)) {
            m_framePool.reset();
            Check(m_display->CreateFramePool(m_device, *m_item, kPoolBuffers, size, &m_framePool));
            m_framePoolSize = size;
        }
        m_poolWidth = size.width;
        m_poolHeight = size.height;
        LogLine("[ScreenCapture] Start: frame pool created\n");

        phase = "subscribing to frame events";
        m_framePool->SetFrameArrived(
            [this, gate = m_handlerGate, pool = std::weak_ptr<platform::FramePool>(m_framePool)] {
                gate->Pass([&] {
                    if (auto alive = pool.lock())
                        OnFrameArrived(*alive);
                });
            });
        LogLine("[ScreenCapture] Start: frame event subscribed\n");

        phase = "creating capture session";
        LogLine("[ScreenCapture] Start: creating capture session\n");
        m_session.reset();
        Check(m_framePool->CreateCaptureSession(*m_item, &m_session));
        LogLine("[ScreenCapture] Start: capture session created\n");

        phase = "setting cursor capture";
        Check(m_session->SetCursorCaptureEnabled(m_captureCursor));
        LogLine("[ScreenCapture] Start: cursor capture setting applied\n");

        const int32_t border = m_session->SetBorderRequired(false);
        if (Failed(border)) {
            LogLine("[ScreenCapture] Start: border setting ignored, HRESULT=0x%08X, message=%s\n",
                    static_cast<uint32_t>(border), PlatformMessage(border));
        } else {
            LogLine("[ScreenCapture] Start: border disabled\n");
        }

        phase = "starting capture session";
        LogLine("[ScreenCapture] Start: calling StartCapture\n");
        const int64_t now = SteadyClockNs();
        m_startTimeNs = m_hasPresetStart ? m_presetStartNs.load() : now;
        m_lastEmitNs = now;
        {
            std::lock_guard lock(m_emitMutex);
            m_lastTimestamp = 0;
        }
        Check(m_session->StartCapture());
        return true;
    } catch (const PhaseError& error) {
        return failLine(
            FormatLine("[ScreenCapture] Start failed during %s: HRESULT=0x%08X, message=%s\n",
                       phase, static_cast<uint32_t>(error.code), PlatformMessage(error.code)));
    } catch (const std::exception& error) {
        return failLine(FormatLine("[ScreenCapture] Start failed during %s: exception=%s\n", phase,
                                   error.what()));
    } catch (...) {
        return failLine(
            FormatLine("[ScreenCapture] Start failed during %s: unknown exception\n", phase));
    }
}

void ScreenCapture::OnFrameArrived(platform::FramePool& pool) {
    if (!m_isCapturing)
        return;
    std::unique_ptr<platform::CaptureFrame> frame = pool.TryGetNextFrame();
    if (!frame)
        return;
    if (m_isPaused)
        return;  // the frame closes as it goes out of scope

    const platform::FrameSize content = frame->ContentSize();
    if (content.width != m_poolWidth || content.height != m_poolHeight) {
        const int32_t result = pool.Recreate(content);
        if (Failed(result)) {
            LogLine("[ScreenCapture] Failed to recreate frame pool: 0x%08X\n",
                    static_cast<uint32_t>(result));
        } else {
            m_poolWidth = content.width;
            m_poolHeight = content.height;
        }
    }
    try {
        const std::shared_ptr<platform::CaptureFrame> held = std::move(frame);
        const int64_t arrivedNs = SteadyClockNs();
        const std::shared_ptr<gfx::Texture> captured(held, held->Surface());
        const uint64_t generation = m_cropGeneration.load();
        const std::shared_ptr<gfx::Texture> delivered = ApplyCrop(captured);
        RefreshLastFrame(captured, delivered, generation, arrivedNs);
        if (SteadyClockNs() - m_lastEmitNs >= kRealFrameThresholdNs) {
            std::lock_guard lock(m_emitMutex);
            const int64_t emitNs = SteadyClockNs();
            if (emitNs - m_lastEmitNs >= kRealFrameThresholdNs) {
                int64_t timestamp = 0;
                // The slot is taken when the emission starts, as the pacer's is: measured after
                // the callback, its cost would push the next 30 Hz frame under the threshold.
                if (EmitFrame(delivered.get(), arrivedNs, &timestamp)) {
                    MarkLastFrameEmitted(arrivedNs);
                    m_lastEmitNs = emitNs;
                    m_lastTimestamp = timestamp;
                    ++m_realFrames;
                }
            }
        }
    } catch (...) {
        // A failed frame is dropped; the next one is tried afresh.
    }
}

std::shared_ptr<gfx::Texture> ScreenCapture::ApplyCrop(std::shared_ptr<gfx::Texture> frame) {
    std::lock_guard lock(m_cropMutex);
    if (!m_cropActive || !m_device)
        return frame;
    const uint32_t srcW = frame->Width();
    const uint32_t srcH = frame->Height();
    const gfx::Box box{static_cast<uint32_t>(m_crop.x),
                       static_cast<uint32_t>(m_crop.y),
                       0,
                       static_cast<uint32_t>(m_crop.x + m_crop.width),
                       static_cast<uint32_t>(m_crop.y + m_crop.height),
                       1};
    if (box.right > srcW || box.bottom > srcH || box.left >= box.right || box.top >= box.bottom) {
        const int32_t count = ++g_invalidCropCount;
        if (count <= 5 || count % 30 == 0) {
            LogLine("[ScreenCapture] Crop BOUNDS INVALID #%d: box=(%d,%d,%d,%d), src=%ux%u\n",
                    count, static_cast<int>(box.left), static_cast<int>(box.top),
                    static_cast<int>(box.right), static_cast<int>(box.bottom), srcW, srcH);
        }
        return frame;
    }
    // The crop is a view of the frame's own pixels rather than a copy; the view holds the frame,
    // so its buffer is not reused while the crop is in use.
    gfx::TextureDesc desc = frame->Desc();
    desc.width = box.right - box.left;
    desc.height = box.bottom - box.top;
    uint8_t* const origin = frame->Row(box.top) + static_cast<size_t>(box.left) * 4;
    std::shared_ptr<gfx::Texture> view;
    if (Failed(m_device->WrapTexture(
            desc, origin, frame->RowPitch(), [frame] {}, &view)))
        return frame;
    return view;
}

void ScreenCapture::RefreshLastFrame(std::shared_ptr<gfx::Texture> captured,
                                     std::shared_ptr<gfx::Texture> delivered,
                                     uint64_t cropGeneration, int64_t arrivedNs) {
    std::shared_ptr<gfx::Texture> previous;
    std::shared_ptr<gfx::Texture> previousCaptured;
    {
        std::lock_guard lock(m_lastFrameMutex);
        previous = std::exchange(m_lastFrame, std::move(delivered));
        previousCaptured = std::exchange(m_lastCaptured, std::move(captured));
        m_lastFrameCropGeneration = cropGeneration;
        m_lastFrameArrivedNs = arrivedNs;
        m_lastFrameFresh = true;
    }
    // Released outside the lock: they may hand a buffer back to the pool.
}

// On an idle screen no frame comes to carry a new crop, and a zoom would not show until the
// content changed; the repeat is cut from the captured frame again instead. The crop is a view
// of the frame's pixels, so this costs no copy.
std::shared_ptr<gfx::Texture> ScreenCapture::FrameToRepeat(int64_t* freshArrivalNs) {
    std::shared_ptr<gfx::Texture> captured;
    {
        std::lock_guard lock(m_lastFrameMutex);
        *freshArrivalNs = m_lastFrameFresh ? m_lastFrameArrivedNs : 0;
        const uint64_t generation = m_cropGeneration.load();
        if (generation == m_lastFrameCropGeneration || !m_lastFrame || !m_lastCaptured)
            return m_lastFrame;
        captured = m_lastCaptured;
        m_lastFrameCropGeneration = generation;
    }
    std::shared_ptr<gfx::Texture> recropped = ApplyCrop(captured);
    std::shared_ptr<gfx::Texture> previous;
    std::lock_guard lock(m_lastFrameMutex);
    if (m_lastCaptured == captured)
        previous = std::exchange(m_lastFrame, recropped);
    return recropped;
}

void ScreenCapture::MarkLastFrameEmitted(int64_t arrivedNs) {
    std::lock_guard lock(m_lastFrameMutex);
    if (m_lastFrameArrivedNs == arrivedNs)
        m_lastFrameFresh = false;
}

int64_t ScreenCapture::EmissionTimestamp(int64_t nowNs, int64_t startNs, int64_t lastTimestamp) {
    const int64_t timestamp = (nowNs - startNs) / 100;
    return timestamp <= lastTimestamp ? lastTimestamp + 10000 : timestamp;
}

bool ScreenCapture::EmitFrame(gfx::Texture* texture, int64_t nowNs, int64_t* timestamp) {
    SharedCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        callback = m_frameCallback;
    }
    if (!callback || !*callback || !texture)
        return false;
    const int64_t ts = EmissionTimestamp(nowNs, m_startTimeNs, m_lastTimestamp);
    try {
        (*callback)(texture, ts);
    } catch (...) {
        LogLine("[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame.\n");
        return false;
    }
    *timestamp = ts;
    return true;
}

int64_t ScreenCapture::NextPacerDeadline(int64_t deadlineNs, int64_t nowNs) {
    const int64_t next = deadlineNs + kPacerPeriodNs;
    return next < nowNs - kResyncLagNs ? nowNs + kPacerPeriodNs : next;
}

void ScreenCapture::FramePacerThread() {
    PerfLog::Write("[PERF][Capture] frame pacer started\n");
    int64_t next = SteadyClockNs() + kPacerPeriodNs;
    int ticks = 0;
    bool engaged = false;
    while (m_pacerRunning) {
        platform::SleepUntilNs(next);
        next = NextPacerDeadline(next, SteadyClockNs());
        if (++ticks == kStatisticsTicks) {
            LogPacerStatistics();
            ticks = 0;
        }
        if (!m_pacerRunning)
            break;
        PacerTick(&engaged);
    }
    PerfLog::Write("[PERF][Capture] frame pacer exiting\n");
    std::lock_guard lock(m_lifetimeMutex);
    m_pacerAlive = false;
    m_pacerExited.notify_all();
}

void ScreenCapture::LogPacerStatistics() {
    const uint32_t real = m_realFrames.exchange(0);
    const uint32_t paced = m_pacedFrames.exchange(0);
    bool hasLastFrame = false;
    {
        std::lock_guard lock(m_lastFrameMutex);
        hasLastFrame = m_lastFrame != nullptr;
    }
    const uint32_t emitSum = m_emitSumMs.exchange(0);
    const uint32_t emitMax = m_emitMaxMs.exchange(0);
    bool hasCallback = false;
    {
        std::lock_guard lock(m_callbackMutex);
        hasCallback = m_frameCallback != nullptr;
    }
    PerfLog::Write(
        "[PERF][Capture] last5s real=%u paced=%u capturing=%d paused=%d cb=%d lastFrame=%d "
        "emitAvg=%ums emitMax=%ums\n",
        real, paced, m_isCapturing ? 1 : 0, m_isPaused ? 1 : 0, hasCallback ? 1 : 0,
        hasLastFrame ? 1 : 0, paced ? emitSum / paced : 0, emitMax);
}

void ScreenCapture::PacerTick(bool* engaged) {
    if (!m_isCapturing || m_isPaused)
        return;
    {
        std::lock_guard lock(m_callbackMutex);
        if (!m_frameCallback)
            return;
    }
    if (SteadyClockNs() - m_lastEmitNs < kRepeatThresholdNs)
        return;
    const uint64_t window = m_windowHandle;
    if (window && m_display && m_display->IsIconic(window)) {
        EmitBlackFrame();
        return;
    }
    int64_t freshArrivalNs = 0;
    const std::shared_ptr<gfx::Texture> last = FrameToRepeat(&freshArrivalNs);
    if (!last)
        return;
    uint32_t tookMs = 0;
    if (!EmitRepeat(last.get(), freshArrivalNs, &tookMs))
        return;
    m_emitSumMs += tookMs;
    RaiseToAtLeast(m_emitMaxMs, tookMs);
    if (!*engaged) {
        *engaged = true;
        PerfLog::Write("[PERF][Capture] pacing engaged (first repeated frame emitted)\n");
    }
}

bool ScreenCapture::EnsureBlackTexture() {
    if (m_blackTexture)
        return true;
    uint32_t width = 0;
    uint32_t height = 0;
    {
        std::lock_guard lock(m_cropMutex);
        width = m_sourceWidth;
        height = m_sourceHeight;
    }
    if (!m_device || !m_context || width == 0 || height == 0)
        return false;
    std::shared_ptr<gfx::Texture> black;
    const int32_t result =
        m_device->CreateTexture(RenderableDesc(width, height), nullptr, 0, &black);
    if (Failed(result)) {
        LogLine("[ScreenCapture] Failed to create black fallback texture: 0x%08X\n",
                static_cast<uint32_t>(result));
        return false;
    }
    const float opaqueBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    m_context->ClearRenderTarget(black.get(), opaqueBlack);
    m_blackTexture = std::move(black);
    return true;
}

void ScreenCapture::EmitBlackFrame() {
    uint32_t tookMs = 0;
    if (EnsureBlackTexture())
        EmitRepeat(m_blackTexture.get(), 0, &tookMs);
}

bool ScreenCapture::EmitRepeat(gfx::Texture* texture, int64_t arrivedNs, uint32_t* tookMs) {
    std::lock_guard lock(m_emitMutex);
    const int64_t t = SteadyClockNs();
    if (t - m_lastEmitNs < kRepeatThresholdNs)
        return false;
    int64_t timestamp = 0;
    // A frame that came too soon after the previous emission goes out with the time it was
    // captured, not up to a pacer period later, so the picture keeps in step with the sound.
    if (!EmitFrame(texture, arrivedNs != 0 ? arrivedNs : t, &timestamp))
        return false;
    if (arrivedNs != 0)
        MarkLastFrameEmitted(arrivedNs);
    m_lastEmitNs = t;
    m_lastTimestamp = timestamp;
    ++m_pacedFrames;
    *tookMs = static_cast<uint32_t>((SteadyClockNs() - t) / 1'000'000);
    return true;
}

void ScreenCapture::Stop() {
    if (!m_isCapturing)
        return;
    std::lock_guard state(m_stateMutex);
    if (!m_isCapturing)
        return;
    m_isCapturing = false;
    m_isPaused = false;
    {
        std::lock_guard lock(m_callbackMutex);
        m_frameCallback.reset();
    }
    m_pacerRunning = false;
    WaitForPacer();
    if (m_framePool)
        m_framePool->SetFrameArrived(nullptr);
    CloseSessionBounded();
    m_item.reset();
    m_windowHandle = 0;
    m_blackTexture.reset();
    std::lock_guard lock(m_lastFrameMutex);
    m_lastFrame.reset();
    m_lastCaptured.reset();
}

void ScreenCapture::WaitForPacer() {
    if (!m_pacerThread.joinable())
        return;
    if (!platform::JoinWithTimeout(std::move(m_pacerThread), kStopWait)) {
        LogLine(
            "[ScreenCapture] WARNING: Frame pacer join timed out after 500ms "
            "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D "
            "abandoning waiter\n");
    }
}

void ScreenCapture::CloseSessionBounded() {
    // The task owns what it closes, so an abandoned close touches nothing of this object.
    platform::BackgroundTask close(
        [session = std::move(m_session), pool = std::move(m_framePool)]() mutable {
            try {
                if (session)
                    session->Close();
                if (pool)
                    pool->Close();
            } catch (...) {
                LogLine("[ScreenCapture] Exception during Close operations\n");
            }
            session.reset();
            pool.reset();
        });
    if (!close.WaitFor(kStopWait)) {
        LogLine(
            "[ScreenCapture] WARNING: Close timed out after 500ms \xC3\xA2\xE2\x82\xAC\xE2\x80\x9D "
            "abandoning Close "
            "waiter (prevents infinite hang)\n");
    }
}

}  // namespace tamro
