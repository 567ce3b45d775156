#include "camera/CameraOverlay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include "diag/Log.h"
#include "diag/RateLimit.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

// Marks the identity of a composited picture.
constexpr uint64_t kCompositeIdentity = uint64_t{1} << 63;

// At most one forwarded preview picture per this many nanoseconds (about 30 a second).
constexpr int64_t kForwardIntervalNs = 33'000'000;

float Clamp01(double value) {
    return static_cast<float>(std::clamp(value, 0.0, 1.0));
}

// Counts a callback as inside the recorder for as long as it runs.
class InFlight {
  public:
    explicit InFlight(std::atomic<int32_t>* count) : m_count(count) {
        if (m_count)
            m_count->fetch_add(1);
    }
    ~InFlight() {
        if (m_count)
            m_count->fetch_sub(1);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

  private:
    std::atomic<int32_t>* m_count;
};

gfx::TextureDesc CameraTextureDesc(uint32_t width, uint32_t height, uint32_t miscFlags) {
    gfx::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = gfx::Format::kBGRA8;
    desc.bindFlags = gfx::kBindShaderResource;
    desc.miscFlags = miscFlags;
    return desc;
}

gfx::TextureDesc StagingDesc(const gfx::TextureDesc& of) {
    gfx::TextureDesc desc = of;
    desc.mipLevels = 1;
    desc.arraySize = 1;
    desc.usage = gfx::Usage::kStaging;
    desc.bindFlags = gfx::kBindNone;
    desc.cpuAccessFlags = gfx::kCpuAccessRead;
    desc.miscFlags = gfx::kMiscNone;
    return desc;
}

}  // namespace

// The textures of one run of the overlay. The producer side (camera thread) and the consumer side
// (screen thread) each hold the object while they use it.
struct CameraOverlay::Pipeline {
    gfx::Device* cameraDevice = nullptr;  // null for a shared camera
    gfx::Device* screenDevice = nullptr;
    std::unique_ptr<CameraCompositor> compositor;
    std::unique_ptr<ICameraFrameEffect> effect;
    std::shared_ptr<gfx::Texture> producerTexture;
    std::shared_ptr<gfx::Texture> sharedTexture;
    std::shared_ptr<gfx::Texture> overlayTexture;
    std::shared_ptr<gfx::Texture> forwardStaging;  // camera thread only
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t sharedHandle = 0;  // the handle of a shared camera
    std::atomic<bool> hasOverlayFrame{false};
    std::atomic<int64_t> lastCameraTimestamp{0};

    // Screen thread only: camera pictures taken, composites made, and what the last one showed.
    uint64_t cameraPictures = 0;
    uint64_t composites = 0;
    struct Composed {
        gfx::Texture* output = nullptr;
        uint64_t screenPicture = 0;
        uint64_t cameraPicture = 0;
        CameraOverlayParams params;
    } composed;
};

CameraOverlay::CameraOverlay(Environment environment) : m_env(std::move(environment)) {
    // The rectangle a recorder starts with, until the application sets one.
    m_params.rectX = 0.05f;
    m_params.rectY = 0.05f;
    m_params.rectWidth = 0.18f;
    m_params.rectHeight = 0.18f;
}

CameraOverlay::~CameraOverlay() {
    Teardown();
}

// ---------------------------------------------------------------------------------------------
// Settings

void CameraOverlay::SetConfig(const CameraOverlayConfig& config) {
    std::lock_guard lock(m_layoutMutex);
    m_deviceId = config.deviceId;
    m_fps = config.frameRate > 0 ? config.frameRate : 30;
    m_effect = config.effect;
    m_params.rectX = static_cast<float>(config.x);
    m_params.rectY = static_cast<float>(config.y);
    m_params.rectWidth = static_cast<float>(config.width);
    m_params.rectHeight = static_cast<float>(config.height);
    m_params.cornerRadius = Clamp01(config.cornerRadius);
    m_params.mirror = config.mirror;
    m_params.fillMode = config.fillMode == 1 ? 1 : 0;
    m_params.opacity = Clamp01(config.opacity);
    const uint32_t argb = config.borderColor;
    m_params.borderColor[0] = static_cast<float>((argb >> 16) & 0xFF) / 255.0f;
    m_params.borderColor[1] = static_cast<float>((argb >> 8) & 0xFF) / 255.0f;
    m_params.borderColor[2] = static_cast<float>(argb & 0xFF) / 255.0f;
    m_params.borderColor[3] = static_cast<float>((argb >> 24) & 0xFF) / 255.0f;
    m_params.borderWidth = Clamp01(std::fabs(config.borderWidth));
    m_params.borderDashed = config.borderWidth < 0.0;
    m_enabled.store(config.enabled && !m_deviceId.empty());
}

void CameraOverlay::SetRect(double x, double y, double width, double height) {
    std::lock_guard lock(m_layoutMutex);
    m_params.rectX = static_cast<float>(x);
    m_params.rectY = static_cast<float>(y);
    m_params.rectWidth = static_cast<float>(width);
    m_params.rectHeight = static_cast<float>(height);
}

void CameraOverlay::SetPreviewForward(bool enabled) {
    m_previewForward.store(enabled);
    if (!enabled)
        m_lastForwardNs.store(0);
}

CameraOverlayParams CameraOverlay::Params() const {
    std::lock_guard lock(m_layoutMutex);
    return m_params;
}

// ---------------------------------------------------------------------------------------------
// Setup

bool CameraOverlay::SetupPipeline(const Screen& screen) {
    if (!m_enabled.load())
        return false;
    std::string deviceId;
    int32_t fps = 30;
    BackgroundEffectConfig effect;
    {
        std::lock_guard lock(m_layoutMutex);
        deviceId = m_deviceId;
        fps = m_fps;
        effect = m_effect;
    }
    if (deviceId.empty())
        return false;
    NoteFailure({});
    if (!screen.device) {
        LogLine("[NativeRecorder] Camera overlay: no screen device available\n");
        NoteFailure("the screen capture has no graphics device");
        return false;
    }
    if (screen.width == 0 || screen.height == 0)
        return false;
    try {
        if (const uint64_t handle = m_sharedHandle.load(); handle != 0) {
            if (SetupFromSharedHandle(screen, handle, 0, 0))
                return true;
            LogLine(
                "[NativeRecorder] Camera overlay: shared-handle setup failed; overlay inactive (no "
                "fallback to avoid contention)\n");
            NoteFailure("the shared camera could not be opened");
            m_sharedHandle.store(0);
            return false;
        }
        if (SetupRecordingCamera(screen, deviceId, fps, effect))
            return true;
        if (SetupFailure().empty())
            NoteFailure("camera '" + deviceId + "' could not be set up");
        return false;
    } catch (...) {
        LogLine("[NativeRecorder] Camera overlay setup exception\n");
        Teardown();
        return false;
    }
}

bool CameraOverlay::SetupRecordingCamera(const Screen& screen, const std::string& deviceId,
                                         int32_t fps, const BackgroundEffectConfig& effect) {
    auto camera = std::make_unique<CameraCapture>(m_env.cameras);
    camera->SetNegotiateFormat(false);
    camera->SetBufferedAcquisition(true);
    camera->SetStreamEndedCallback([this](const std::string& reason) {
        if (m_env.cameraLost && m_active.load())
            m_env.cameraLost(reason);
    });
    const bool initialized = camera->Initialize(deviceId, 640, 480, static_cast<uint32_t>(fps));
    CameraCapture* cameraPtr = camera.get();
    {
        std::lock_guard lock(m_cameraMutex);
        m_camera = std::move(camera);
    }
    if (!initialized)
        return FailSetup("[NativeRecorder] Camera overlay: recording camera init failed\n");
    gfx::Device* cameraDevice = cameraPtr->GetDevice();
    if (!cameraDevice)
        return FailSetup(nullptr);
    auto prepare = cameraPtr->InitializeMediaCaptureWithCallbackAsync(
        [this](gfx::Texture* texture, int64_t timestamp) {
            OnRecordingCameraFrame(texture, timestamp);
        });
    if (!prepare->Get()) {
        NoteFailure("camera '" + deviceId + "' " + cameraPtr->StartFailure());
        return FailSetup("[NativeRecorder] Camera overlay: recording camera prepare failed\n");
    }

    auto pipeline = std::make_shared<Pipeline>();
    pipeline->cameraDevice = cameraDevice;
    pipeline->screenDevice = screen.device;
    pipeline->width = cameraPtr->Width();
    pipeline->height = cameraPtr->Height();
    if (pipeline->width == 0 || pipeline->height == 0)
        return FailSetup("[NativeRecorder] Camera overlay: invalid camera dimensions\n");
    pipeline->compositor = std::make_unique<CameraCompositor>();
    if (!pipeline->compositor->Initialize(screen.device, screen.width, screen.height))
        return FailSetup("[NativeRecorder] Camera overlay: compositor init failed\n");
    if (!BuildSharedTextures(*pipeline, cameraDevice, screen.device))
        return false;
    AddEffect(*pipeline, cameraDevice, effect);
    gfx::Texture* staging = nullptr;
    if (Succeeded(cameraDevice->CreateTexture(
            StagingDesc(CameraTextureDesc(pipeline->width, pipeline->height, gfx::kMiscNone)),
            nullptr, 0, &pipeline->forwardStaging))) {
        staging = pipeline->forwardStaging.get();
    }
    if (!staging) {
        LogLine(
            "[NativeRecorder] Camera overlay: preview-forward staging create failed (bubble "
            "forward disabled)\n");
    }
    m_cameraFps.store(fps);
    Activate(std::move(pipeline));
    if (!cameraPtr->StartCapturing()) {
        NoteFailure("camera '" + deviceId + "' " + cameraPtr->StartFailure());
        LogLine("[NativeRecorder] Camera overlay: recording camera start failed\n");
        m_active.store(false);
        Teardown();
        return false;
    }
    return true;
}

// The shared texture is made on the screen's device and opened on the camera's, so that the
// consumer's side stays valid whatever the camera does.
bool CameraOverlay::BuildSharedTextures(Pipeline& pipeline, gfx::Device* cameraDevice,
                                        gfx::Device* screenDevice) {
    const uint32_t width = pipeline.width;
    const uint32_t height = pipeline.height;
    if (Failed(screenDevice->CreateTexture(
            CameraTextureDesc(width, height, gfx::kMiscSharedKeyedMutex), nullptr, 0,
            &pipeline.sharedTexture))) {
        return FailSetup("[NativeRecorder] Camera overlay: shared texture create failed\n");
    }
    const uint64_t handle = pipeline.sharedTexture->SharedHandle();
    if (handle == 0 || !pipeline.sharedTexture->GetKeyedMutex())
        return FailSetup("[NativeRecorder] Camera overlay: GetSharedHandle failed\n");
    if (Failed(cameraDevice->OpenSharedTexture(handle, &pipeline.producerTexture)) ||
        !pipeline.producerTexture) {
        return FailSetup(
            "[NativeRecorder] Camera overlay: OpenSharedResource on camera device failed "
            "(different adapter?)\n");
    }
    if (Failed(screenDevice->CreateTexture(CameraTextureDesc(width, height, gfx::kMiscNone),
                                           nullptr, 0, &pipeline.overlayTexture))) {
        return FailSetup("[NativeRecorder] Camera overlay: consumer texture create failed\n");
    }
    return true;
}

namespace {

// Frames pass through with a quality of 0; the overlay asks for every 2nd frame instead.
BackgroundEffectConfig OverlayEffect(const BackgroundEffectConfig& effect) {
    BackgroundEffectConfig config = effect;
    if (config.Quality == 0)
        config.Quality = 3;
    return config;
}

std::string DescribeEffectShortfall(const ICameraFrameEffect* effect, int32_t mode) {
    if (!effect)
        return "the background effect could not start; the bubble shows the camera as it is";
    if (effect->IsMlAvailable())
        return {};
    if (mode == 1)
        return "the person-segmentation model is not available, so the whole camera picture is "
               "blurred";
    return "the person-segmentation model is not available, so the camera's background is not "
           "replaced";
}

}  // namespace

void CameraOverlay::AddEffect(Pipeline& pipeline, gfx::Device* cameraDevice,
                              const BackgroundEffectConfig& effect) {
    {
        std::lock_guard lock(m_failureMutex);
        m_effectNotice.clear();
    }
    if (effect.Mode == 0)
        return;
    if (m_env.effects)
        pipeline.effect =
            m_env.effects(cameraDevice, pipeline.width, pipeline.height, OverlayEffect(effect));
    if (!pipeline.effect)
        LogLine("[NativeRecorder] Camera overlay: effect init failed, raw overlay only\n");
    std::lock_guard lock(m_failureMutex);
    m_effectNotice = DescribeEffectShortfall(pipeline.effect.get(), effect.Mode);
}

std::string CameraOverlay::EffectNotice() const {
    std::lock_guard lock(m_failureMutex);
    return m_effectNotice;
}

void CameraOverlay::SetEffect(const BackgroundEffectConfig& effect) {
    {
        std::lock_guard lock(m_layoutMutex);
        m_effect = effect;
    }
    if (auto pipeline = CurrentPipeline(); pipeline && pipeline->effect)
        pipeline->effect->SetConfig(OverlayEffect(effect));
}

uint64_t CameraOverlay::ProcessedEffectFrames() const {
    auto pipeline = CurrentPipeline();
    return pipeline && pipeline->effect ? pipeline->effect->ProcessedFrames() : 0;
}

std::optional<bool> CameraOverlay::EffectFindsPeople() const {
    auto pipeline = CurrentPipeline();
    if (!pipeline || !pipeline->effect)
        return std::nullopt;
    return pipeline->effect->IsMlAvailable();
}

bool CameraOverlay::SetupFromSharedHandle(const Screen& screen, uint64_t handle, uint32_t width,
                                          uint32_t height) {
    if (handle == 0)
        return false;
    if (!screen.device) {
        LogLine("[NativeRecorder] SetupCameraOverlayFromSharedHandle: no screen device\n");
        return false;
    }
    if (screen.width == 0 || screen.height == 0)
        return false;
    auto pipeline = std::make_shared<Pipeline>();
    pipeline->screenDevice = screen.device;
    pipeline->sharedHandle = handle;
    if (Failed(screen.device->OpenSharedTexture(handle, &pipeline->sharedTexture)) ||
        !pipeline->sharedTexture) {
        return FailSetup(
            "[NativeRecorder] SetupCameraOverlayFromSharedHandle: OpenSharedResource failed "
            "(cross-adapter?)\n");
    }
    if (width == 0 || height == 0) {
        width = pipeline->sharedTexture->Width();
        height = pipeline->sharedTexture->Height();
    }
    if (width == 0 || height == 0)
        return FailSetup(nullptr);
    pipeline->width = width;
    pipeline->height = height;
    pipeline->compositor = std::make_unique<CameraCompositor>();
    if (!pipeline->compositor->Initialize(screen.device, screen.width, screen.height)) {
        return FailSetup(
            "[NativeRecorder] SetupCameraOverlayFromSharedHandle: compositor init failed\n");
    }
    if (Failed(screen.device->CreateTexture(CameraTextureDesc(width, height, gfx::kMiscNone),
                                            nullptr, 0, &pipeline->overlayTexture))) {
        return FailSetup(
            "[NativeRecorder] SetupCameraOverlayFromSharedHandle: consumer texture create "
            "failed\n");
    }
    {
        std::lock_guard lock(m_layoutMutex);
        m_cameraFps.store(m_fps);
    }
    Activate(std::move(pipeline));
    return true;
}

void CameraOverlay::Activate(std::shared_ptr<Pipeline> pipeline) {
    m_lastForwardNs.store(0);
    {
        std::lock_guard lock(m_layoutMutex);
        m_params.cameraAspect =
            static_cast<float>(pipeline->width) / static_cast<float>(pipeline->height);
    }
    {
        std::lock_guard lock(m_pipelineMutex);
        m_pipeline = std::move(pipeline);
    }
    m_active.store(true);
}

void CameraOverlay::NoteFailure(std::string failure) {
    std::lock_guard lock(m_failureMutex);
    m_setupFailure = std::move(failure);
}

std::string CameraOverlay::SetupFailure() const {
    std::lock_guard lock(m_failureMutex);
    return m_setupFailure;
}

bool CameraOverlay::FailSetup(const char* line) {
    if (line)
        LogLine("%s", line);
    Teardown();
    return false;
}

// ---------------------------------------------------------------------------------------------
// Session hooks and teardown

void CameraOverlay::ResetTiming(int32_t latencyMs) {
    m_rebase.Reset(int64_t{latencyMs < 1 ? 100 : latencyMs} * 10'000);
    if (auto pipeline = CurrentPipeline())
        pipeline->lastCameraTimestamp.store(0);
}

void CameraOverlay::OnSessionStart(std::optional<int64_t> originNs) {
    {
        std::lock_guard lock(m_cameraMutex);
        if (m_camera && originNs)
            m_camera->SetSessionStartTime(*originNs);
    }
    if (!m_active.load())
        return;
    if (auto pipeline = CurrentPipeline()) {
        pipeline->hasOverlayFrame.store(false);
        pipeline->lastCameraTimestamp.store(0);
    }
    m_rebase.ClearLast();
}

// The effect goes with the pipeline at the teardown, not here: a frame already past the active
// check may still be running it on the camera's thread, and holds the pipeline while it does.
void CameraOverlay::Deactivate() {
    m_active.store(false);
    StopCamera();
}

void CameraOverlay::StopCamera() {
    std::unique_ptr<CameraCapture> camera;
    {
        std::lock_guard lock(m_cameraMutex);
        camera = std::move(m_camera);
    }
    if (camera)
        camera->Stop();
}

void CameraOverlay::Teardown() {
    m_active.store(false);
    StopCamera();
    {
        std::lock_guard lock(m_pipelineMutex);
        m_pipeline.reset();
    }
    m_lastForwardNs.store(0);
    m_rebase.ClearLast();
    m_sharedHandle.store(0);
}

std::shared_ptr<CameraOverlay::Pipeline> CameraOverlay::CurrentPipeline() const {
    std::lock_guard lock(m_pipelineMutex);
    return m_pipeline;
}

// ---------------------------------------------------------------------------------------------
// Producer: the recording camera's frames

void CameraOverlay::OnRecordingCameraFrame(gfx::Texture* texture, int64_t timestamp) {
    InFlight inFlight(m_env.inFlight);
    if ((m_env.shuttingDown && m_env.shuttingDown()) || !m_active.load() || !texture)
        return;
    const std::shared_ptr<Pipeline> pipeline = CurrentPipeline();
    if (!pipeline || !pipeline->cameraDevice || !pipeline->producerTexture)
        return;
    gfx::KeyedMutex* mutex = pipeline->producerTexture->GetKeyedMutex();
    if (!mutex)
        return;
    try {
        gfx::Texture* frame = texture;
        gfx::Texture* processed = nullptr;
        if (pipeline->effect && pipeline->effect->ProcessFrame(texture, &processed) && processed)
            frame = processed;
        if (mutex->AcquireSync(0, 0) == kOk) {
            pipeline->cameraDevice->ImmediateContext().CopyResource(pipeline->producerTexture.get(),
                                                                    frame);
            pipeline->lastCameraTimestamp.store(timestamp);
            mutex->ReleaseSync(1);
        }
        ForwardPreview(*pipeline, frame);
    } catch (...) {
        LogLine("[NativeRecorder] OnRecordingCameraFrame exception\n");
    }
}

void CameraOverlay::ForwardPreview(Pipeline& pipeline, gfx::Texture* texture) {
    if ((m_env.shuttingDown && m_env.shuttingDown()) || !m_active.load() ||
        !m_previewForward.load() || !texture || !pipeline.cameraDevice || !m_env.previewFrame ||
        (m_env.previewWanted && !m_env.previewWanted())) {
        return;
    }
    const gfx::TextureDesc& desc = texture->Desc();
    gfx::Texture* staging = pipeline.forwardStaging.get();
    if (!staging || staging->Width() != desc.width || staging->Height() != desc.height ||
        staging->Desc().format != desc.format) {
        pipeline.forwardStaging.reset();
        if (Failed(pipeline.cameraDevice->CreateTexture(StagingDesc(desc), nullptr, 0,
                                                        &pipeline.forwardStaging))) {
            static FirstOnly logged;
            if (logged())
                LogLine("[NativeRecorder] Overlay preview staging recreate failed\n");
            return;
        }
        staging = pipeline.forwardStaging.get();
    }
    const int64_t now = Now();
    const int64_t last = m_lastForwardNs.load();
    if (last != 0 && now - last < kForwardIntervalNs)
        return;
    gfx::DeviceContext& context = pipeline.cameraDevice->ImmediateContext();
    context.CopyResource(staging, texture);
    gfx::MappedSubresource mapped;
    if (const int32_t result = context.Map(staging, gfx::MapType::kRead, &mapped); Failed(result)) {
        static FirstOnly logged;
        if (logged()) {
            LogLine("[NativeRecorder] Overlay preview forward: Map staging failed 0x%08X\n",
                    static_cast<uint32_t>(result));
        }
        return;
    }
    auto bitmap = std::make_shared<BgraBitmap>(desc.width, desc.height);
    for (uint32_t y = 0; y < desc.height; ++y)
        std::memcpy(bitmap->Row(y), mapped.data + size_t{y} * mapped.rowPitch, bitmap->Stride());
    context.Unmap(staging);
    m_lastForwardNs.store(now);
    m_env.previewFrame(std::move(bitmap));
}

// ---------------------------------------------------------------------------------------------
// Consumer: the overlay step of the video path

gfx::Texture* CameraOverlay::ApplyToFrame(gfx::Texture* frame, int64_t& pts) {
    if ((m_env.shuttingDown && m_env.shuttingDown()) || !m_active.load() || !m_enabled.load())
        return frame;
    const std::shared_ptr<Pipeline> pipeline = CurrentPipeline();
    if (!pipeline || !pipeline->compositor || !frame)
        return frame;
    if (!BehindTheCamera(*pipeline, pts))
        TakeCameraPicture(*pipeline);
    if (!pipeline->hasOverlayFrame.load())
        return frame;
    gfx::Texture* composited = Composite(*pipeline, frame);
    if (!composited)
        return frame;
    pts = m_rebase.Rebase(pts, CameraTime(*pipeline), m_cameraFps.load());
    return composited;
}

// A slot more than two camera frames older than the camera's latest picture is one the capture
// delivers late, as a repeat when the screen has not changed. Taking a new camera picture then
// would make every such repeat a new picture to encode, and a pipeline too slow for a changing
// picture would fall further behind with each slot instead of catching up.
bool CameraOverlay::BehindTheCamera(const Pipeline& pipeline, int64_t pts) const {
    const int64_t camera = CameraTime(pipeline);
    const int64_t frame = 10'000'000 / std::max(m_cameraFps.load(), 1);
    return camera > 0 && camera - pts > 2 * frame;
}

// The consumer's side of the hand-over: the producer's latest picture, when it has released one.
void CameraOverlay::TakeCameraPicture(Pipeline& pipeline) {
    gfx::KeyedMutex* mutex =
        pipeline.sharedTexture ? pipeline.sharedTexture->GetKeyedMutex() : nullptr;
    if (!mutex || !pipeline.overlayTexture || mutex->AcquireSync(1, 0) != kOk)
        return;
    const bool copied = Succeeded(pipeline.screenDevice->ImmediateContext().CopyResource(
        pipeline.overlayTexture.get(), pipeline.sharedTexture.get()));
    mutex->ReleaseSync(0);
    if (copied) {
        ++pipeline.cameraPictures;
        pipeline.hasOverlayFrame.store(true);
    }
}

// The same screen picture under the same camera picture and layout is the last composite again,
// under the same identity: a slot the capture fills with a repeat stays a repeat for the encoder,
// which writes it without converting it, so that a late pipeline catches up.
gfx::Texture* CameraOverlay::Composite(Pipeline& pipeline, gfx::Texture* frame) {
    const CameraOverlayParams params = Params();
    const uint64_t screenPicture = frame->ContentId();
    Pipeline::Composed& last = pipeline.composed;
    if (last.output && screenPicture != 0 && screenPicture == last.screenPicture &&
        pipeline.cameraPictures == last.cameraPicture && params == last.params &&
        frame->Width() == last.output->Width() && frame->Height() == last.output->Height()) {
        return last.output;
    }
    gfx::Texture* composited = nullptr;
    if (!pipeline.compositor->Composite(frame, pipeline.overlayTexture.get(), params,
                                        &composited) ||
        !composited) {
        last.output = nullptr;
        return nullptr;
    }
    // Apart from the capture's own identities, which count up from 1.
    composited->SetContentId(kCompositeIdentity | ++pipeline.composites);
    last = {composited, screenPicture, pipeline.cameraPictures, params};
    return composited;
}

int64_t CameraOverlay::CameraTime(const Pipeline& pipeline) const {
    const int64_t own = pipeline.lastCameraTimestamp.load();
    if (own > 0)
        return own;
    if (pipeline.sharedHandle != 0 && m_env.sharedCameraTime)
        return m_env.sharedCameraTime(pipeline.sharedHandle);
    return 0;
}

int64_t CameraOverlay::Now() const {
    return m_env.clock ? m_env.clock() : platform::SteadyClockNs();
}

}  // namespace tamro
