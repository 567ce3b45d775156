#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tamro/Export.h"
#include "tamro/Object.h"
#include "tamro/Records.h"

namespace tamro {

// The settings of one recording. A plain property bag: setters store values unchanged and never
// validate; the recorder clamps where it reads them. Only read by StartAsync and PrepareAsync, so
// changing it later does not affect a running session. Not synchronised: fill it on one thread.
class TAMRO_API RecordingConfig final : public Object {
  public:
    static constexpr std::string_view kClassName = "Tamro.Native.RecordingConfig";
    std::string_view ClassName() const noexcept override { return kClassName; }

    const std::string& OutputPath() const noexcept { return m_outputPath; }
    void OutputPath(std::string value) { m_outputPath = std::move(value); }
    int32_t CaptureMode() const noexcept { return m_captureMode; }
    void CaptureMode(int32_t value) noexcept { m_captureMode = value; }
    uint64_t MonitorHandle() const noexcept { return m_monitorHandle; }
    void MonitorHandle(uint64_t value) noexcept { m_monitorHandle = value; }
    uint64_t WindowHandle() const noexcept { return m_windowHandle; }
    void WindowHandle(uint64_t value) noexcept { m_windowHandle = value; }
    const CaptureRect& CaptureRegion() const noexcept { return m_captureRegion; }
    void CaptureRegion(CaptureRect value) { m_captureRegion = std::move(value); }
    int32_t Width() const noexcept { return m_width; }
    void Width(int32_t value) noexcept { m_width = value; }
    int32_t Height() const noexcept { return m_height; }
    void Height(int32_t value) noexcept { m_height = value; }
    int32_t FrameRate() const noexcept { return m_frameRate; }
    void FrameRate(int32_t value) noexcept { m_frameRate = value; }
    int32_t Bitrate() const noexcept { return m_bitrate; }
    void Bitrate(int32_t value) noexcept { m_bitrate = value; }
    bool CaptureCursor() const noexcept { return m_captureCursor; }
    void CaptureCursor(bool value) noexcept { m_captureCursor = value; }
    int32_t VideoProfile() const noexcept { return m_videoProfile; }
    void VideoProfile(int32_t value) noexcept { m_videoProfile = value; }
    int32_t QualityVsSpeed() const noexcept { return m_qualityVsSpeed; }
    void QualityVsSpeed(int32_t value) noexcept { m_qualityVsSpeed = value; }
    bool EnableCabac() const noexcept { return m_enableCabac; }
    void EnableCabac(bool value) noexcept { m_enableCabac = value; }
    int32_t BFrameCount() const noexcept { return m_bFrameCount; }
    void BFrameCount(int32_t value) noexcept { m_bFrameCount = value; }
    int32_t KeyframeIntervalSeconds() const noexcept { return m_keyframeIntervalSeconds; }
    void KeyframeIntervalSeconds(int32_t value) noexcept { m_keyframeIntervalSeconds = value; }
    int32_t AudioSampleRate() const noexcept { return m_audioSampleRate; }
    void AudioSampleRate(int32_t value) noexcept { m_audioSampleRate = value; }
    int32_t AudioChannels() const noexcept { return m_audioChannels; }
    void AudioChannels(int32_t value) noexcept { m_audioChannels = value; }
    bool CaptureMicrophone() const noexcept { return m_captureMicrophone; }
    void CaptureMicrophone(bool value) noexcept { m_captureMicrophone = value; }
    bool CaptureSystemAudio() const noexcept { return m_captureSystemAudio; }
    void CaptureSystemAudio(bool value) noexcept { m_captureSystemAudio = value; }
    bool CaptureWindowAudioOnly() const noexcept { return m_captureWindowAudioOnly; }
    void CaptureWindowAudioOnly(bool value) noexcept { m_captureWindowAudioOnly = value; }
    const std::string& MicrophoneDeviceId() const noexcept { return m_microphoneDeviceId; }
    void MicrophoneDeviceId(std::string value) { m_microphoneDeviceId = std::move(value); }
    double MicrophoneVolume() const noexcept { return m_microphoneVolume; }
    void MicrophoneVolume(double value) noexcept { m_microphoneVolume = value; }
    double SystemVolume() const noexcept { return m_systemVolume; }
    void SystemVolume(double value) noexcept { m_systemVolume = value; }
    bool NoiseSuppression() const noexcept { return m_noiseSuppression; }
    void NoiseSuppression(bool value) noexcept { m_noiseSuppression = value; }
    int32_t NoiseMode() const noexcept { return m_noiseMode; }
    void NoiseMode(int32_t value) noexcept { m_noiseMode = value; }
    int32_t NoiseStrength() const noexcept { return m_noiseStrength; }
    void NoiseStrength(int32_t value) noexcept { m_noiseStrength = value; }
    bool DuckingEnabled() const noexcept { return m_duckingEnabled; }
    void DuckingEnabled(bool value) noexcept { m_duckingEnabled = value; }
    double DuckLevelDb() const noexcept { return m_duckLevelDb; }
    void DuckLevelDb(double value) noexcept { m_duckLevelDb = value; }
    int32_t AudioBitrate() const noexcept { return m_audioBitrate; }
    void AudioBitrate(int32_t value) noexcept { m_audioBitrate = value; }
    double AgcMinGain() const noexcept { return m_agcMinGain; }
    void AgcMinGain(double value) noexcept { m_agcMinGain = value; }
    double AgcMaxGain() const noexcept { return m_agcMaxGain; }
    void AgcMaxGain(double value) noexcept { m_agcMaxGain = value; }
    double AgcTargetLevel() const noexcept { return m_agcTargetLevel; }
    void AgcTargetLevel(double value) noexcept { m_agcTargetLevel = value; }
    double AgcTuningA() const noexcept { return m_agcTuningA; }
    void AgcTuningA(double value) noexcept { m_agcTuningA = value; }
    double AgcTuningB() const noexcept { return m_agcTuningB; }
    void AgcTuningB(double value) noexcept { m_agcTuningB = value; }
    double Reserved1() const noexcept { return m_reserved1; }
    void Reserved1(double value) noexcept { m_reserved1 = value; }
    double Reserved2() const noexcept { return m_reserved2; }
    void Reserved2(double value) noexcept { m_reserved2 = value; }
    double Reserved3() const noexcept { return m_reserved3; }
    void Reserved3(double value) noexcept { m_reserved3 = value; }
    double GainSmoothing() const noexcept { return m_gainSmoothing; }
    void GainSmoothing(double value) noexcept { m_gainSmoothing = value; }
    double LimiterThreshold() const noexcept { return m_limiterThreshold; }
    void LimiterThreshold(double value) noexcept { m_limiterThreshold = value; }
    double LimiterKneeEnd() const noexcept { return m_limiterKneeEnd; }
    void LimiterKneeEnd(double value) noexcept { m_limiterKneeEnd = value; }
    double LimiterRatio() const noexcept { return m_limiterRatio; }
    void LimiterRatio(double value) noexcept { m_limiterRatio = value; }
    double Reserved4() const noexcept { return m_reserved4; }
    void Reserved4(double value) noexcept { m_reserved4 = value; }
    int32_t Reserved5() const noexcept { return m_reserved5; }
    void Reserved5(int32_t value) noexcept { m_reserved5 = value; }
    int32_t Reserved6() const noexcept { return m_reserved6; }
    void Reserved6(int32_t value) noexcept { m_reserved6 = value; }
    double Reserved7() const noexcept { return m_reserved7; }
    void Reserved7(double value) noexcept { m_reserved7 = value; }
    int32_t Reserved8() const noexcept { return m_reserved8; }
    void Reserved8(int32_t value) noexcept { m_reserved8 = value; }
    int32_t Reserved9() const noexcept { return m_reserved9; }
    void Reserved9(int32_t value) noexcept { m_reserved9 = value; }
    int32_t Reserved10() const noexcept { return m_reserved10; }
    void Reserved10(int32_t value) noexcept { m_reserved10 = value; }
    int32_t CameraOverlayLatencyMs() const noexcept { return m_cameraOverlayLatencyMs; }
    void CameraOverlayLatencyMs(int32_t value) noexcept { m_cameraOverlayLatencyMs = value; }
    int32_t Reserved11() const noexcept { return m_reserved11; }
    void Reserved11(int32_t value) noexcept { m_reserved11 = value; }
    int32_t Reserved12() const noexcept { return m_reserved12; }
    void Reserved12(int32_t value) noexcept { m_reserved12 = value; }
    int32_t Reserved13() const noexcept { return m_reserved13; }
    void Reserved13(int32_t value) noexcept { m_reserved13 = value; }
    int32_t Reserved14() const noexcept { return m_reserved14; }
    void Reserved14(int32_t value) noexcept { m_reserved14 = value; }
    int32_t Reserved15() const noexcept { return m_reserved15; }
    void Reserved15(int32_t value) noexcept { m_reserved15 = value; }
    const FocusZoomSettings& FocusZoom() const noexcept { return m_focusZoom; }
    void FocusZoom(FocusZoomSettings value) { m_focusZoom = std::move(value); }
    const ReservedTriple& Reserved16() const noexcept { return m_reserved16; }
    void Reserved16(ReservedTriple value) { m_reserved16 = std::move(value); }

  private:
    std::string m_outputPath{};
    int32_t m_captureMode = 0;
    uint64_t m_monitorHandle = 0;
    uint64_t m_windowHandle = 0;
    CaptureRect m_captureRegion{};
    int32_t m_width = 1920;
    int32_t m_height = 1080;
    int32_t m_frameRate = 30;
    int32_t m_bitrate = 4'000'000;
    bool m_captureCursor = true;
    int32_t m_videoProfile = 1;
    int32_t m_qualityVsSpeed = 50;
    bool m_enableCabac = true;
    int32_t m_bFrameCount = 0;
    int32_t m_keyframeIntervalSeconds = 1;
    int32_t m_audioSampleRate = 48'000;
    int32_t m_audioChannels = 2;
    bool m_captureMicrophone = true;
    bool m_captureSystemAudio = true;
    bool m_captureWindowAudioOnly = false;
    std::string m_microphoneDeviceId{};
    double m_microphoneVolume = 1.0;
    double m_systemVolume = 0.5;
    bool m_noiseSuppression = false;
    int32_t m_noiseMode = 0;
    int32_t m_noiseStrength = 1;
    bool m_duckingEnabled = false;
    double m_duckLevelDb = -12.0;
    int32_t m_audioBitrate = 192'000;
    double m_agcMinGain = 1.0;
    double m_agcMaxGain = 4.0;
    double m_agcTargetLevel = 0.3;
    double m_agcTuningA = 3.5;
    double m_agcTuningB = 1.2;
    double m_reserved1 = 0.05;
    double m_reserved2 = 0.02;
    double m_reserved3 = 0.2;
    double m_gainSmoothing = 0.15;
    double m_limiterThreshold = 0.7;
    double m_limiterKneeEnd = 0.8;
    double m_limiterRatio = 3.0;
    double m_reserved4 = 1.0;
    int32_t m_reserved5 = 48'000;
    int32_t m_reserved6 = 2048;
    double m_reserved7 = 21.333;
    int32_t m_reserved8 = 33;
    int32_t m_reserved9 = 2;
    int32_t m_reserved10 = 4;
    int32_t m_cameraOverlayLatencyMs = 100;
    int32_t m_reserved11 = 1;
    int32_t m_reserved12 = 200;
    int32_t m_reserved13 = 150;
    int32_t m_reserved14 = 400;
    int32_t m_reserved15 = 300;
    FocusZoomSettings m_focusZoom{};
    ReservedTriple m_reserved16{};
};

}  // namespace tamro
