#include "platform/camera/SyntheticCamera.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "platform/camera/SyntheticFrameReader.h"
#include "platform/system/SteadyClock.h"

namespace tamro::platform::camera {
namespace {

constexpr std::string_view kPrefix = "test:";
constexpr SyntheticCameraMode kDefaultMode{1280, 720, 30};
constexpr uint32_t kMinSide = 16;
constexpr uint32_t kMaxSide = 8192;
constexpr uint32_t kMaxRate = 240;

struct NamedHeight {
    uint32_t height;
    uint32_t width;
};
constexpr std::array<NamedHeight, 5> kNamedHeights = {
    {{480, 640}, {720, 1280}, {1080, 1920}, {1440, 2560}, {2160, 3840}}};

// Reads a whole decimal number off the front of `text`.
std::optional<uint32_t> TakeNumber(std::string_view& text) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return value;
}

bool TakeChar(std::string_view& text, char c) {
    if (!text.starts_with(c))
        return false;
    text.remove_prefix(1);
    return true;
}

std::optional<SyntheticCameraMode> ParseNamedHeight(uint32_t height, std::string_view rest) {
    const auto named = std::find_if(kNamedHeights.begin(), kNamedHeights.end(),
                                    [height](const NamedHeight& n) { return n.height == height; });
    const auto rate = TakeNumber(rest);
    if (named == kNamedHeights.end() || !rate || !rest.empty())
        return std::nullopt;
    return SyntheticCameraMode{named->width, height, *rate};
}

bool IsValid(const SyntheticCameraMode& mode) {
    const auto sideOk = [](uint32_t side) {
        return side >= kMinSide && side <= kMaxSide && side % 2 == 0;
    };
    return sideOk(mode.width) && sideOk(mode.height) && mode.rate >= 1 && mode.rate <= kMaxRate;
}

[[noreturn]] void ThrowNoSuchCamera() {
    throw CameraError(ENODEV, "no such camera");
}

VideoFormat FormatOf(uint32_t fourcc, const SyntheticCameraMode& mode) {
    return VideoFormat{fourcc, SubtypeOf(fourcc), mode.width, mode.height, mode.rate, 1};
}

std::vector<FrameFormat> FormatsOf(const SyntheticCameraMode& mode) {
    constexpr uint32_t kYuyv = Fourcc('Y', 'U', 'Y', 'V');
    constexpr uint32_t kMjpeg = Fourcc('M', 'J', 'P', 'G');
    constexpr SyntheticCameraMode kVga{640, 480, 30};
    std::vector<FrameFormat> formats = {{FormatOf(kYuyv, mode)}};
    if (mode != kVga)
        formats.push_back({FormatOf(kYuyv, kVga)});
    formats.push_back({FormatOf(kMjpeg, mode)});
    return formats;
}

class SyntheticFrameSource final : public FrameSource {
  public:
    SyntheticFrameSource(SourceInfo info, const SyntheticCameraMode& mode)
        : m_info(std::move(info)), m_formats(FormatsOf(mode)), m_current(m_formats.front()) {}

    const SourceInfo& Info() const override { return m_info; }
    std::vector<FrameFormat> SupportedFormats() override { return m_formats; }
    FrameFormat CurrentFormat() override { return m_current; }
    void SetFormat(const VideoFormat& format) override {
        const auto listed = std::find_if(m_formats.begin(), m_formats.end(),
                                         [&](const FrameFormat& f) { return f.video == format; });
        if (listed == m_formats.end())
            throw CameraError(EINVAL, "the camera does not offer that format");
        m_current = *listed;
    }

  private:
    const SourceInfo m_info;
    const std::vector<FrameFormat> m_formats;
    FrameFormat m_current;
};

class SyntheticCaptureSession final : public CaptureSession {
  public:
    SyntheticCaptureSession(SourceInfo info, const SyntheticCameraMode& mode,
                            std::shared_ptr<Clock> clock)
        : m_source(std::move(info), mode), m_clock(std::move(clock)) {}

    std::vector<FrameSource*> FrameSources() override { return {&m_source}; }
    // The reader delivers the format current when it is made.
    std::unique_ptr<FrameReader> CreateFrameReader(FrameSource& source) override {
        if (&source != &m_source)
            throw CameraError(EINVAL, "not a source of this camera");
        return std::make_unique<SyntheticFrameReader>(*m_source.CurrentFormat().video, m_clock);
    }
    void Close() override {}

  private:
    SyntheticFrameSource m_source;
    const std::shared_ptr<Clock> m_clock;
};

class SyntheticCameraSystem final : public CameraSystem {
  public:
    SyntheticCameraSystem(std::string_view id, std::shared_ptr<Clock> clock)
        : m_id(id), m_mode(ParseSyntheticCameraId(id)), m_clock(std::move(clock)) {}

    std::vector<SourceGroup> FindAllSourceGroups() override {
        if (!m_mode)
            ThrowNoSuchCamera();
        return {SourceGroup{"Synthetic camera", {Info()}}};
    }

    std::unique_ptr<CaptureSession> Open(const SourceGroup& group) override {
        const bool ours = std::any_of(group.sources.begin(), group.sources.end(),
                                      [this](const SourceInfo& s) { return s.id == m_id; });
        if (!m_mode || !ours)
            ThrowNoSuchCamera();
        return std::make_unique<SyntheticCaptureSession>(Info(), *m_mode, m_clock);
    }

  private:
    SourceInfo Info() const {
        const std::string name = "Synthetic camera " + std::to_string(m_mode->width) + "x" +
                                 std::to_string(m_mode->height) + "@" +
                                 std::to_string(m_mode->rate);
        return SourceInfo{m_id, m_id, name, true};
    }

    const std::string m_id;
    const std::optional<SyntheticCameraMode> m_mode;
    const std::shared_ptr<Clock> m_clock;
};

}  // namespace

std::optional<SyntheticCameraMode> ParseSyntheticCameraId(std::string_view id) {
    if (!id.starts_with(kPrefix))
        return std::nullopt;
    std::string_view rest = id.substr(kPrefix.size());
    if (rest.empty())
        return kDefaultMode;
    const auto first = TakeNumber(rest);
    if (!first)
        return std::nullopt;
    std::optional<SyntheticCameraMode> mode;
    if (TakeChar(rest, 'p')) {
        mode = ParseNamedHeight(*first, rest);
    } else if (TakeChar(rest, 'x')) {
        const auto height = TakeNumber(rest);
        const bool at = TakeChar(rest, '@');
        const auto rate = TakeNumber(rest);
        if (height && at && rate && rest.empty())
            mode = SyntheticCameraMode{*first, *height, *rate};
    }
    if (!mode || !IsValid(*mode))
        return std::nullopt;
    return mode;
}

std::shared_ptr<CameraSystem> MakeSyntheticCameraSystem(std::string_view id,
                                                        std::shared_ptr<Clock> clock) {
    if (!clock)
        clock = std::make_shared<SteadyClock>();
    return std::make_shared<SyntheticCameraSystem>(id, std::move(clock));
}

}  // namespace tamro::platform::camera
