#include "camera/CameraCapture.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <utility>

#include "diag/Log.h"
#include "diag/RateLimit.h"
#include "platform/system/BackgroundTask.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro {

using platform::camera::CameraError;
using platform::camera::Frame;
using platform::camera::FrameFormat;
using platform::camera::FrameReader;
using platform::camera::FrameSource;
using platform::camera::ReaderStartStatus;
using platform::camera::SourceGroup;

namespace {

// A reader's start status in words that follow the camera's name.
std::string ReaderFailure(ReaderStartStatus status) {
    switch (status) {
        case ReaderStartStatus::kExclusiveControlNotAvailable:
            return "is in use by another program";
        case ReaderStartStatus::kDeviceNotAvailable:
            return "is not available";
        case ReaderStartStatus::kOutputFormatNotSupported:
            return "gives no picture format this recorder reads";
        default:
            return "could not start delivering pictures";
    }
}

int32_t SubtypeScore(const std::string& subtype) {
    if (subtype == "NV12")
        return 100;
    if (subtype == "YUY2")
        return 90;
    if (subtype == "BGRA8" || subtype == "ARGB32")
        return 80;
    if (subtype == "MJPG")
        return 40;
    return 0;
}

// A colour source answers to its id and to its path: a camera known by a stable name is still
// the device node its user sees listed. Both compare exactly; an empty request takes any.
bool Answers(const platform::camera::SourceInfo& info, const std::string& id) {
    return info.isColor && (id.empty() || info.id == id || (!info.path.empty() && info.path == id));
}

// The first group holding a colour source the id names, or any colour source for an empty id.
const SourceGroup* FindSourceGroup(const std::vector<SourceGroup>& groups, const std::string& id) {
    for (const SourceGroup& group : groups) {
        for (const platform::camera::SourceInfo& info : group.sources) {
            if (Answers(info, id))
                return &group;
        }
    }
    return nullptr;
}

// Only a source the id itself names counts for a requested id, even when the opened camera has
// other colour sources.
FrameSource* FindColorFrameSource(const std::vector<FrameSource*>& sources, const std::string& id) {
    for (FrameSource* source : sources) {
        if (source && Answers(source->Info(), id))
            return source;
    }
    return nullptr;
}

}  // namespace

int32_t ScoreFormat(const FrameFormat& format, uint32_t width, uint32_t height, uint32_t fps) {
    if (!format.video)
        return -1;
    const platform::camera::VideoFormat& video = *format.video;
    const int64_t sizeDistance =
        std::llabs(int64_t{video.width} - width) + std::llabs(int64_t{video.height} - height);
    const int64_t sizeTerm = std::max<int64_t>(0, 1000 - sizeDistance);
    const double rate = video.rateDenominator == 0
                            ? 0.0
                            : static_cast<double>(video.rateNumerator) / video.rateDenominator;
    const int64_t wholeRate = static_cast<int64_t>(rate);
    const int64_t rateTerm = std::max<int64_t>(0, 100 - 10 * std::llabs(wholeRate - fps));
    return static_cast<int32_t>(sizeTerm + SubtypeScore(video.subtype) + rateTerm);
}

std::optional<size_t> ChooseFormat(const std::vector<FrameFormat>& formats, uint32_t width,
                                   uint32_t height, uint32_t fps) {
    std::optional<size_t> best;
    int32_t bestScore = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        const int32_t score = ScoreFormat(formats[i], width, height, fps);
        if (score > bestScore) {
            bestScore = score;
            best = i;
        }
    }
    return best;
}

CameraCapture::CameraCapture(platform::camera::CameraSystemProvider cameras)
    : CameraCapture(std::move(cameras), CameraCaptureEnvironment{}) {}

CameraCapture::CameraCapture(platform::camera::CameraSystemProvider cameras,
                             CameraCaptureEnvironment environment)
    : m_cameras(std::move(cameras)),
      m_createDevice(std::move(environment.createDevice)),
      m_clock(environment.clock ? std::move(environment.clock)
                                : std::make_shared<platform::SteadyClock>()),
      m_readerStopLimit(environment.readerStopLimit) {}

CameraCapture::~CameraCapture() {
    // Closed first: a start body still running finishes before Stop tears down what it opened.
    m_gate->Close();
    Stop();
}

bool CameraCapture::Initialize(const std::string& deviceId, uint32_t width, uint32_t height,
                               uint32_t fps) {
    if (m_isInitialized)
        return true;
    m_deviceId = deviceId;
    m_width = width;
    m_height = height;
    m_fps = fps;
    if (!CreateDevice() || !EnsureFrameTexture())
        return false;
    m_isInitialized = true;
    return true;
}

bool CameraCapture::CreateDevice() {
    m_frameTexture.reset();
    m_context = nullptr;
    m_device.reset();
    int32_t result = kFail;
    m_device = m_createDevice ? m_createDevice(gfx::DriverType::kHardware, &result) : nullptr;
    if (!m_device) {
        LogLine("[CameraCapture] Hardware D3D11 failed, trying WARP...\n");
        m_device = m_createDevice ? m_createDevice(gfx::DriverType::kWarp, &result) : nullptr;
    }
    if (!m_device) {
        LogLine("[CameraCapture] Failed to create D3D11 device (both hardware and WARP)\n");
        return false;
    }
    // No multithread switch to turn on: this device's context serialises every call itself.
    m_context = &m_device->ImmediateContext();
    return true;
}

bool CameraCapture::EnsureFrameTexture() {
    const uint32_t width = m_width;
    const uint32_t height = m_height;
    if (!m_device || width == 0 || height == 0) {
        LogLine("[CameraCapture] EnsureFrameTexture: device or dimensions not set\n");
        return false;
    }
    if (m_frameTexture && m_frameTexture->Width() == width && m_frameTexture->Height() == height &&
        m_frameTexture->Desc().format == gfx::Format::kBGRA8) {
        return true;
    }
    m_frameTexture.reset();
    const gfx::TextureDesc desc{.width = width,
                                .height = height,
                                .format = gfx::Format::kBGRA8,
                                .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget};
    if (Failed(m_device->CreateTexture(desc, nullptr, 0, &m_frameTexture)) || !m_frameTexture) {
        LogLine("[CameraCapture] EnsureFrameTexture: CreateTexture2D failed\n");
        return false;
    }
    return true;
}

void CameraCapture::SetNegotiateFormat(bool negotiate) {
    m_negotiateFormat = negotiate;
}

void CameraCapture::SetBufferedAcquisition(bool buffered) {
    m_bufferedAcquisition = buffered;
}

void CameraCapture::SetSessionStartTime(int64_t originNs) {
    m_presetStartNs = originNs;
    m_hasPresetStart = true;
    m_startTimeNs = originNs;
}

void CameraCapture::SetStreamEndedCallback(CameraEndedCallback callback) {
    std::lock_guard lock(m_callbackMutex);
    m_streamEndedCallback = std::move(callback);
}

void CameraCapture::ResetStartTime() {
    m_startTimeNs = m_hasPresetStart ? m_presetStartNs.load() : m_clock->NowNs();
}

std::shared_ptr<AsyncOperation<bool>> CameraCapture::StartAsync(CameraFrameCallback callback) {
    if (m_isCapturing || !m_isInitialized)
        return AsyncOperation<bool>::FromResult(false);
    {
        std::lock_guard lock(m_callbackMutex);
        m_frameCallback = std::move(callback);
    }
    return AsyncOperation<bool>::Run([this, gate = m_gate] {
        bool started = false;
        gate->Pass([&] { started = RunStartBody(StartStyle::kFull); });
        return started;
    });
}

std::shared_ptr<AsyncOperation<bool>> CameraCapture::InitializeMediaCaptureWithCallbackAsync(
    CameraFrameCallback callback) {
    if (m_isPrepared)
        return AsyncOperation<bool>::FromResult(true);
    if (!m_isInitialized)
        return AsyncOperation<bool>::FromResult(false);
    {
        std::lock_guard lock(m_callbackMutex);
        m_frameCallback = std::move(callback);
    }
    return AsyncOperation<bool>::Run([this, gate = m_gate] {
        bool prepared = false;
        gate->Pass([&] { prepared = RunStartBody(StartStyle::kPrepare); });
        return prepared;
    });
}

bool CameraCapture::RunStartBody(StartStyle style) {
    const bool prepare = style == StartStyle::kPrepare;
    try {
        std::lock_guard lock(m_mutex);
        m_startFailure.clear();
        return StartBody(style);
    } catch (const CameraError& error) {
        SetStartFailure(std::string("cannot be opened (") + error.what() + ")");
        if (prepare) {
            LogLine("[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed: %s\n",
                    error.what());
        } else {
            LogLine("[CameraCapture] Start failed: %s\n", error.what());
        }
    } catch (...) {
        SetStartFailure("failed with an unknown error");
        LogLine(prepare
                    ? "[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed with unknown "
                      "error\n"
                    : "[CameraCapture] Start failed with unknown error\n");
    }
    return false;
}

void CameraCapture::SetStartFailure(std::string reason) {
    std::lock_guard lock(m_mutex);
    m_startFailure = std::move(reason);
}

std::string CameraCapture::StartFailure() const {
    std::lock_guard lock(m_mutex);
    return m_startFailure;
}

bool CameraCapture::StartBody(StartStyle style) {
    const char* suffix = style == StartStyle::kPrepare ? " (prepare)" : "";
    m_cameraSystem =
        m_cameras ? m_cameras(m_deviceId) : platform::camera::DefaultCameraSystem(m_deviceId);
    const std::vector<SourceGroup> groups =
        m_cameraSystem ? m_cameraSystem->FindAllSourceGroups() : std::vector<SourceGroup>{};
    const SourceGroup* group = FindSourceGroup(groups, m_deviceId);
    if (!group) {
        LogLine("[CameraCapture] No suitable camera found for requested device%s\n", suffix);
        m_startFailure = "was not found";
        return false;
    }
    // A new session replaces the previous one, and its reader goes first.
    ++m_readerGeneration;
    m_frameReader.reset();
    m_session = m_cameraSystem->Open(*group);
    FrameSource* source =
        m_session ? FindColorFrameSource(m_session->FrameSources(), m_deviceId) : nullptr;
    if (!source) {
        LogLine("[CameraCapture] No color frame source found for requested device%s\n", suffix);
        m_startFailure = "gives no video";
        return false;
    }
    if (m_negotiateFormat) {
        if (!NegotiateFormat(*source)) {
            LogLine("[CameraCapture] Failed to ensure frame texture after format negotiation%s\n",
                    suffix);
            m_startFailure = "cannot deliver its pictures";
            return false;
        }
    } else {
        AdoptCurrentFormat(*source);
    }
    m_frameReader = CreateReader(*source);
    if (style == StartStyle::kPrepare) {
        m_isPrepared = true;
        return true;
    }
    ResetStartTime();
    const ReaderStartStatus status = StartReader();
    if (status != ReaderStartStatus::kSuccess) {
        LogLine("[CameraCapture] Failed to start frame reader: %d\n", static_cast<int>(status));
        m_startFailure = ReaderFailure(status);
        return false;
    }
    m_isPrepared = true;
    m_isCapturing = true;
    return true;
}

bool CameraCapture::NegotiateFormat(FrameSource& source) {
    const std::vector<FrameFormat> formats = source.SupportedFormats();
    const std::optional<size_t> best = ChooseFormat(formats, m_width, m_height, m_fps);
    if (!best) {
        AdoptCurrentFormat(source);
        return true;
    }
    const platform::camera::VideoFormat& chosen = *formats[*best].video;
    try {
        source.SetFormat(chosen);
    } catch (...) {
        LogLine("[CameraCapture] Could not set preferred format, using default\n");
        AdoptCurrentFormat(source);
        return true;
    }
    m_width = chosen.width;
    m_height = chosen.height;
    return EnsureFrameTexture();
}

void CameraCapture::AdoptCurrentFormat(FrameSource& source) {
    // The camera then delivers whatever it is set to; a failure here leaves the request's size,
    // and the first frame corrects it.
    try {
        const FrameFormat current = source.CurrentFormat();
        if (!current.video)
            return;
        m_width = current.video->width;
        m_height = current.video->height;
        EnsureFrameTexture();
    } catch (...) {
    }
}

std::shared_ptr<FrameReader> CameraCapture::CreateReader(FrameSource& source) {
    std::shared_ptr<FrameReader> reader = m_session->CreateFrameReader(source);
    if (reader)
        reader->SetBuffered(m_bufferedAcquisition);
    ++m_readerGeneration;
    return reader;
}

ReaderStartStatus CameraCapture::StartReader() {
    if (!m_frameReader)
        return ReaderStartStatus::kUnknownFailure;
    const uint64_t generation = m_readerGeneration;
    m_streamEnded = false;
    return m_frameReader->Start(
        [this, gate = m_gate, generation](const Frame& frame) {
            gate->Pass([&] {
                if (generation == m_readerGeneration)
                    OnFrameArrived(frame);
            });
        },
        [this, gate = m_gate, generation](const std::string& reason) {
            gate->Pass([&] {
                if (generation == m_readerGeneration)
                    OnStreamEnded(reason);
            });
        });
}

bool CameraCapture::StartCapturing() {
    if (m_isCapturing)
        return true;
    try {
        std::lock_guard lock(m_mutex);
        if (!m_isPrepared || !m_frameReader) {
            LogLine(
                "[CameraCapture] StartCapturing: Not prepared - MediaCapture not initialized\n");
            return false;
        }
        ResetStartTime();
        // The reader's Start returns once it runs, with no bound, as the platform's start wait.
        const ReaderStartStatus status = StartReader();
        if (status != ReaderStartStatus::kSuccess) {
            LogLine("[CameraCapture] StartCapturing: Failed to start frame reader: %d\n",
                    static_cast<int>(status));
            m_startFailure = ReaderFailure(status);
            return false;
        }
        m_isCapturing = true;
        return true;
    } catch (const CameraError& error) {
        SetStartFailure(std::string("could not start (") + error.what() + ")");
        LogLine("[CameraCapture] StartCapturing failed: %s\n", error.what());
    } catch (...) {
        LogLine("[CameraCapture] StartCapturing failed with unknown error\n");
    }
    return false;
}

void CameraCapture::Stop() {
    {
        std::lock_guard lock(m_callbackMutex);
        m_isCapturing = false;
        m_frameCallback = nullptr;
    }
    std::lock_guard lock(m_mutex);
    if (!m_frameReader && !m_session)
        return;
    {
        // A start may have stored a callback since.
        std::lock_guard callbackLock(m_callbackMutex);
        m_frameCallback = nullptr;
        m_isCapturing = false;
    }
    if (m_frameReader)
        StopReader();
    if (m_session)
        CloseSession();
    m_isPrepared = false;
}

void CameraCapture::StopReader() {
    ++m_readerGeneration;
    std::shared_ptr<FrameReader> reader = std::move(m_frameReader);
    try {
        // The session goes along: the reader may use it until its stop ends.
        BlockOnAsyncAction([reader, session = m_session] { reader->Stop(); });
    } catch (const CameraError& error) {
        LogLine("[CameraCapture] FrameReader StopAsync failed: %s\n", error.what());
    } catch (...) {
        LogLine("[CameraCapture] FrameReader StopAsync failed with unknown error\n");
    }
}

void CameraCapture::CloseSession() {
    try {
        m_session->Close();
    } catch (const CameraError& error) {
        LogLine("[CameraCapture] MediaCapture.Close failed: %s\n", error.what());
    } catch (...) {
        LogLine("[CameraCapture] MediaCapture.Close failed with unknown error\n");
    }
    m_session.reset();
}

void CameraCapture::BlockOnAsyncAction(std::function<void()> action) {
    auto failure = std::make_shared<std::exception_ptr>();
    platform::BackgroundTask task([action = std::move(action), failure] {
        try {
            action();
        } catch (...) {
            *failure = std::current_exception();
        }
    });
    if (!platform::WaitOrAbandon(
            task, m_readerStopLimit,
            "[CameraCapture] BlockOnAsyncAction timed out after 10s; abandoning wait")) {
        return;
    }
    if (*failure)
        std::rethrow_exception(*failure);
}

void CameraCapture::OnFrameArrived(const Frame& frame) {
    CameraFrameCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        if (!m_isCapturing || !m_frameCallback)
            return;
        callback = m_frameCallback;
    }
    try {
        if (!CopyFrameToTexture(frame)) {
            static std::atomic<int> failures{0};
            const int count = ++failures;
            if (count == 1 || count % 60 == 0)
                LogLine("[CameraCapture] CopyFrameToTexture failed (count: %d)\n", count);
            return;
        }
        // 100-ns units, truncated to whole microseconds.
        const int64_t timestamp = 10 * ((m_clock->NowNs() - m_startTimeNs) / 1000);
        if (callback && m_frameTexture)
            callback(m_frameTexture.get(), timestamp);
    } catch (...) {
        static FirstOnly firstTime;
        if (firstTime())
            LogLine("[CameraCapture] OnFrameArrived exception\n");
    }
}

void CameraCapture::OnStreamEnded(const std::string& reason) {
    if (m_streamEnded.exchange(true))
        return;
    LogLine("[CameraCapture] Camera lost: %s; no more frames\n", reason.c_str());
    CameraEndedCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        m_isCapturing = false;
        callback = m_streamEndedCallback;
    }
    try {
        if (callback)
            callback(reason);
    } catch (...) {
        // The owner's failure is its own; the reader's thread must not end on it.
    }
}

bool CameraCapture::CopyFrameToTexture(const Frame& frame) {
    if (!m_device || !m_context)
        return false;
    static std::atomic<uint64_t> calls{0};
    const uint64_t call = ++calls;
    const bool loggable = call < 6 || call % 60 == 0;
    try {
        if (frame.data) {
            if (CopySoftwareBitmapToTexture(frame))
                return true;
            if (loggable)
                LogLine("[CameraCapture] SoftwareBitmap present but copy failed\n");
        }
        // Frames reach this platform as CPU pictures only: the reader hands over no GPU
        // surfaces, so there is no same-device copy or readback path to fall back on.
        static FirstOnly firstUnusable;
        if (firstUnusable())
            LogLine("[CameraCapture] No usable SoftwareBitmap or Direct3DSurface\n");
    } catch (const gfx::DeviceFault&) {
        static FirstOnly firstFault;
        if (firstFault())
            LogLine("[CameraCapture] CopyFrameToTexture error: 0x%08X\n",
                    static_cast<uint32_t>(kFail));
    } catch (...) {
        static FirstOnly firstUnknown;
        if (firstUnknown())
            LogLine("[CameraCapture] CopyFrameToTexture unknown error\n");
    }
    return false;
}

bool CameraCapture::CopySoftwareBitmapToTexture(const Frame& frame) {
    if (!frame.data || !m_device || !m_context)
        return false;
    // The reader delivers opaque BGRA, which is its own premultiplied form: nothing to convert.
    if (frame.width == 0 || frame.height == 0)
        return false;
    if (frame.width != m_width || frame.height != m_height) {
        m_width = frame.width;
        m_height = frame.height;
        if (!EnsureFrameTexture())
            return false;
    }
    return Succeeded(
        m_context->UpdateSubresource(m_frameTexture.get(), nullptr, frame.data, frame.stride));
}

gfx::Device* CameraCapture::GetDevice() const {
    return m_device.get();
}

uint32_t CameraCapture::Width() const {
    return m_width;
}

uint32_t CameraCapture::Height() const {
    return m_height;
}

}  // namespace tamro
