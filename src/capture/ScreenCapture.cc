#include "capture/ScreenCapture.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "capture/RegionCheck.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "platform/system/BackgroundTask.h"
#include "tamro/ResultCode.h"

namespace tamro {

namespace {

constexpr auto kStopWait = std::chrono::milliseconds(500);
// Pictures kept for the pacer to choose from: enough to pick the right one for a slot it handles
// late. With the one shown last and the one being delivered, a consumer that stalls holds every
// buffer, and the display drops what it takes meanwhile: the slots are then filled with repeats.
constexpr size_t kRecentFrames = 2;
constexpr uint32_t kPoolBuffers = kRecentFrames + 2;
constexpr int64_t kStatisticsIntervalSeconds = 5;

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

ScreenCapture::ScreenCapture(std::shared_ptr<platform::Display> display, DeviceCreator createDevice,
                             std::shared_ptr<platform::Clock> clock)
    : m_display(std::move(display)),
      m_createDevice(std::move(createDevice)),
      m_clock(std::move(clock)) {
    CreateDevice();
}

ScreenCapture::~ScreenCapture() {
    Stop();
    m_handlerGate->Close();
    std::unique_lock lock(m_lifetimeMutex);
    m_pacerExited.wait(lock, [&] { return m_pacersAlive == 0; });
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
        m_cropActive = false;
        return;
    }
    const std::optional<CropBox> box =
        ClampCrop(x, y, width, height, m_sourceWidth, m_sourceHeight);
    if (!box)
        return;
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

void ScreenCapture::SetFrameRate(uint32_t fps) {
    std::lock_guard lock(m_pacerMutex);
    m_slots = FrameSlots(fps);
}

void ScreenCapture::SetPaused(bool paused) {
    {
        std::lock_guard lock(m_pacerMutex);
        m_isPaused = paused;
        if (paused)
            m_slots.Pause(m_clock->NowNs());
        else
            m_slots.Resume(m_clock->NowNs());
    }
    m_pacerWake.notify_all();
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
    // Marked before the session starts: a session whose thread grabs at once may deliver its
    // first picture before StartCapture returns, and a picture left waiting then would keep the
    // queue one behind for as long as the screen stays still.
    m_isCapturing = true;
    if (!StartPhases()) {
        m_isCapturing = false;
        return false;
    }
    uint64_t run = 0;
    {
        std::lock_guard lock(m_pacerMutex);
        m_pacerRunning = true;
        run = ++m_pacerRun;
    }
    {
        std::lock_guard lock(m_lifetimeMutex);
        ++m_pacersAlive;
    }
    m_pacerThread = std::thread([this, run] { FramePacerThread(run); });
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
        m_session->SetEndedHandler([ended = m_ended](platform::CaptureEnd why) {
            ended->store(why == platform::CaptureEnd::kItemClosed ? kWindowClosed : kDisplayLost);
        });
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
        {
            std::lock_guard lock(m_pacerMutex);
            m_slots.Start(m_hasPresetStart ? m_presetStartNs.load() : m_clock->NowNs());
            m_recent.clear();
            m_shownLast = {};
            m_isPaused = false;
        }
        m_lateFrames = 0;
        m_ended->store(kStillCapturing);
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
    const int64_t capturedNs = frame->CaptureTimeNs();
    const std::shared_ptr<platform::CaptureFrame> held = std::move(frame);
    TakenFrame dropped;
    {
        std::lock_guard lock(m_pacerMutex);
        m_recent.push_back(
            {std::shared_ptr<gfx::Texture>(held, held->Surface()), capturedNs, ++m_framesTaken});
        if (m_recent.size() > kRecentFrames) {
            dropped = std::move(m_recent.front());
            m_recent.pop_front();
        }
    }
    // Wakes a pacer that has slots due but had no picture yet; the dropped picture's buffer goes
    // back to the pool outside the lock.
    m_pacerWake.notify_all();
}

std::shared_ptr<gfx::Texture> ScreenCapture::ApplyCrop(std::shared_ptr<gfx::Texture> frame,
                                                       CropBox* applied) {
    *applied = {};
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
    *applied = m_crop;
    return view;
}

const ScreenCapture::TakenFrame* ScreenCapture::PictureForSlot(const std::deque<TakenFrame>& recent,
                                                               const TakenFrame& shownLast,
                                                               int64_t closeNs) {
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
        if (it->capturedNs <= closeNs)
            return &*it;
    }
    if (shownLast.serial != 0)
        return &shownLast;
    return recent.empty() ? nullptr : &recent.front();
}

bool ScreenCapture::EmitFrame(gfx::Texture* texture, int64_t timestamp) {
    SharedCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        callback = m_frameCallback;
    }
    if (!callback || !*callback || !texture)
        return false;
    try {
        (*callback)(texture, timestamp);
    } catch (...) {
        LogLine("[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame.\n");
        return false;
    }
    return true;
}

void ScreenCapture::FramePacerThread(uint64_t run) {
    PerfLog::Write("[PERF][Capture] frame pacer started\n");
    std::unique_lock lock(m_pacerMutex);
    int64_t statisticsDueNs = m_clock->NowNs() + kStatisticsIntervalSeconds * 1'000'000'000;
    bool engaged = false;
    while (AwaitSlot(lock, run)) {
        const uint64_t slot = m_slots.Next();
        const int64_t closeNs = m_slots.CloseNs(slot);
        const int64_t nowNs = m_clock->NowNs();
        if (nowNs - closeNs > kMaxCatchUpNs) {
            LogLine("[ScreenCapture] Frame pacer stalled for %lldms; the time line skips it\n",
                    static_cast<long long>((nowNs - closeNs) / 1'000'000));
            m_slots.SkipTo(nowNs);
            continue;
        }
        const TakenFrame picture = *PictureForSlot(m_recent, m_shownLast, closeNs);
        const bool repeat = picture.serial == m_shownLast.serial;
        const bool late = nowNs - closeNs >= m_slots.PeriodNs();
        const int64_t timestamp = m_slots.Timestamp(slot);
        m_slots.Advance();
        lock.unlock();
        const bool shown = FillSlot(timestamp, picture, repeat);
        if (shown && repeat && late)
            ++m_lateFrames;
        if (shown && repeat && !engaged) {
            engaged = true;
            PerfLog::Write("[PERF][Capture] pacing engaged (first repeated frame emitted)\n");
        }
        if (nowNs >= statisticsDueNs) {
            LogPacerStatistics();
            statisticsDueNs = nowNs + kStatisticsIntervalSeconds * 1'000'000'000;
        }
        lock.lock();
        if (m_pacerRun != run)
            continue;
        if (shown)
            m_shownLast = picture;
        else if (m_slots.Paused() && m_slots.Next() == slot + 1)
            m_slots.Retake();  // filled after the pause, so that the time line has no hole
    }
    if (m_pacerRun == run)
        m_shownLast = {};
    lock.unlock();
    PerfLog::Write("[PERF][Capture] frame pacer exiting\n");
    std::lock_guard lifetime(m_lifetimeMutex);
    --m_pacersAlive;
    m_pacerExited.notify_all();
}

// Sleeps until the next slot closes; a slot with no picture at all yet (the session's first)
// waits for one. Stop and pauses wake it. A pacer whose join Stop abandoned ends here once it
// returns, even if a new capture has started meanwhile.
bool ScreenCapture::AwaitSlot(std::unique_lock<std::mutex>& lock, uint64_t run) {
    const auto ended = [&] { return !m_pacerRunning || m_pacerRun != run; };
    const auto idle = [&] {
        return m_slots.Paused() || (m_recent.empty() && m_shownLast.serial == 0);
    };
    while (!ended()) {
        if (idle()) {
            m_clock->WaitUntil(lock, m_pacerWake, platform::Clock::kNever,
                               [&] { return ended() || !idle(); });
            continue;
        }
        const int64_t closeNs = m_slots.CloseNs(m_slots.Next());
        if (!m_clock->WaitUntil(lock, m_pacerWake, closeNs, [&] {
                return ended() || idle() || m_slots.CloseNs(m_slots.Next()) != closeNs;
            }))
            return true;
    }
    return false;
}

// Shows `picture` in the slot stamped `timestamp`: cropped as the crop is now, so that a zoom
// shows on a still screen too, or black while a captured window is minimised.
bool ScreenCapture::FillSlot(int64_t timestamp, const TakenFrame& picture, bool repeat) {
    if (!m_isCapturing || m_isPaused)
        return false;
    const int64_t startNs = m_clock->NowNs();
    bool emitted = false;
    if (repeat && ShowsMinimisedWindow()) {
        emitted = EnsureBlackTexture() && EmitFrame(m_blackTexture.get(), timestamp);
    } else {
        CropBox crop;
        const std::shared_ptr<gfx::Texture> delivered = ApplyCrop(picture.texture, &crop);
        delivered->SetContentId(ContentIdOf(picture.serial, crop));
        emitted = EmitFrame(delivered.get(), timestamp);
    }
    if (!emitted)
        return false;
    if (!repeat) {
        ++m_realFrames;
        return true;
    }
    ++m_pacedFrames;
    const auto tookMs = static_cast<uint32_t>((m_clock->NowNs() - startNs) / 1'000'000);
    m_emitSumMs += tookMs;
    RaiseToAtLeast(m_emitMaxMs, tookMs);
    return true;
}

void ScreenCapture::LogPacerStatistics() {
    const uint32_t real = m_realFrames.exchange(0);
    const uint32_t paced = m_pacedFrames.exchange(0);
    bool hasLastFrame = false;
    {
        std::lock_guard lock(m_pacerMutex);
        hasLastFrame = m_shownLast.serial != 0;
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

// The same picture with the same crop keeps its id, so that a consumer can tell a repeat.
uint64_t ScreenCapture::ContentIdOf(uint64_t serial, const CropBox& crop) {
    if (serial != m_contentSerial || !(crop == m_contentCrop)) {
        m_contentSerial = serial;
        m_contentCrop = crop;
        ++m_contentId;
    }
    return m_contentId;
}

bool ScreenCapture::ShowsMinimisedWindow() {
    const uint64_t window = m_windowHandle;
    return window && m_display && m_display->IsIconic(window);
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
    {
        std::lock_guard lock(m_pacerMutex);
        m_pacerRunning = false;
        ++m_pacerRun;
    }
    m_pacerWake.notify_all();
    WaitForPacer();
    if (m_framePool)
        m_framePool->SetFrameArrived(nullptr);
    CloseSessionBounded();
    m_item.reset();
    m_windowHandle = 0;
    m_blackTexture.reset();
    std::deque<TakenFrame> recent;
    TakenFrame shownLast;
    {
        std::lock_guard lock(m_pacerMutex);
        recent.swap(m_recent);
        shownLast = std::exchange(m_shownLast, {});
    }
    // Their buffers go back to the pool outside the lock.
}

void ScreenCapture::WaitForPacer() {
    if (!m_pacerThread.joinable())
        return;
    platform::JoinOrAbandon(std::move(m_pacerThread), kStopWait,
                            "[ScreenCapture] WARNING: Frame pacer join timed out after 500ms "
                            "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning waiter");
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
    platform::WaitOrAbandon(close, kStopWait,
                            "[ScreenCapture] WARNING: Close timed out after 500ms "
                            "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning Close waiter "
                            "(prevents infinite hang)");
}

std::string ScreenCapture::CaptureEnded() const {
    static constexpr const char* kSaid[] = {"", "the recorded window was closed",
                                            "display connection lost"};
    return kSaid[m_ended->load()];
}

}  // namespace tamro
