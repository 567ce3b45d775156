#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <vector>

namespace tamro::test {

// Interleaved 16-bit samples of a sine on every channel.
inline std::vector<int16_t> ToneSamples(double hz, uint32_t rate, uint16_t channels, double seconds,
                                        double amplitude = 0.5) {
    const auto frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> samples(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2.0 * std::numbers::pi * hz * i / rate);
        for (uint16_t c = 0; c < channels; ++c) {
            samples[i * channels + c] = static_cast<int16_t>(v * 32767.0);
        }
    }
    return samples;
}

// A 16-bit PCM WAV file of a sine.
inline void WriteToneWav(const std::filesystem::path& path, double hz, uint32_t rate,
                         uint16_t channels, double seconds) {
    const std::vector<int16_t> samples = ToneSamples(hz, rate, channels, seconds);
    const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(static_cast<uint16_t>(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
}

// Magnitude spectrum (Hann window, radix-2) of the left channel of interleaved stereo; the
// length is the largest power of two that fits.
inline std::vector<double> LeftSpectrum(const std::vector<float>& stereo) {
    size_t n = 1;
    while (n * 2 <= stereo.size() / 2) {
        n *= 2;
    }
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (n - 1));
        x[i] = stereo[i * 2] * window;
    }
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(x[i], x[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * std::numbers::pi / len);
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1.0;
            for (size_t k = 0; k < len / 2; ++k) {
                const auto u = x[i + k];
                const auto v = x[i + k + len / 2] * wk;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
                wk *= w;
            }
        }
    }
    std::vector<double> magnitude(n / 2);
    for (size_t i = 0; i < n / 2; ++i) {
        magnitude[i] = std::abs(x[i]);
    }
    return magnitude;
}

// The strongest frequency, refined between bins by a parabola through the peak.
inline double PeakHz(const std::vector<double>& magnitude, double rate) {
    size_t peak = 1;
    for (size_t i = 1; i + 1 < magnitude.size(); ++i) {
        if (magnitude[i] > magnitude[peak]) {
            peak = i;
        }
    }
    const double a = magnitude[peak - 1];
    const double b = magnitude[peak];
    const double c = magnitude[peak + 1];
    const double offset = (a - 2 * b + c) == 0 ? 0.0 : 0.5 * (a - c) / (a - 2 * b + c);
    const double binHz = rate / (2.0 * magnitude.size());
    return (peak + offset) * binHz;
}

// The largest magnitude within ±`width` Hz of `hz`.
inline double MagnitudeNear(const std::vector<double>& magnitude, double rate, double hz,
                            double width = 5.0) {
    const double binHz = rate / (2.0 * magnitude.size());
    double best = 0.0;
    for (size_t i = static_cast<size_t>((hz - width) / binHz);
         i <= static_cast<size_t>((hz + width) / binHz) && i < magnitude.size(); ++i) {
        best = std::max(best, magnitude[i]);
    }
    return best;
}

}  // namespace tamro::test
