// The six abstract and texture backgrounds.
#include <algorithm>
#include <cmath>
#include <random>

#include "Scenes.h"

namespace tamro::backgrounds {
namespace {

constexpr float kPi = 3.14159265f;

float Uniform(std::mt19937& random, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(random);
}

}  // namespace

void DrawAbstractWaves(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    canvas.VerticalGradient({18, 24, 72}, {70, 30, 110});
    struct Band {
        float base, amplitude, wavelength, phase;
        Rgb top, bottom;
        float alpha;
    };
    const Band bands[] = {
        {0.38f, 0.07f, 1.3f, 0.4f, {40, 90, 200}, {30, 40, 120}, 0.55f},
        {0.50f, 0.09f, 0.9f, 2.1f, {60, 170, 220}, {40, 60, 150}, 0.55f},
        {0.62f, 0.06f, 1.1f, 4.0f, {230, 110, 170}, {120, 40, 130}, 0.6f},
        {0.72f, 0.08f, 0.75f, 1.2f, {250, 170, 110}, {190, 70, 110}, 0.6f},
        {0.84f, 0.05f, 1.6f, 3.3f, {255, 210, 150}, {230, 120, 120}, 0.7f},
    };
    for (const Band& band : bands) {
        auto edge = [&](float x) {
            const float u = x / w;
            return h * (band.base +
                        band.amplitude * std::sin(2 * kPi * u / band.wavelength + band.phase) +
                        0.02f * std::sin(2 * kPi * u * 3.1f + band.phase * 2));
        };
        canvas.Shade(
            0, static_cast<int>(h * (band.base - band.amplitude - 0.03f)), canvas.Width(),
            canvas.Height(),
            [&](float x, float y) { return band.alpha * std::clamp(y - edge(x) + 0.5f, 0.f, 1.f); },
            [&](float x, float y) {
                return Mix(band.top, band.bottom,
                           std::clamp((y - edge(x)) / (h * 0.35f), 0.f, 1.f));
            });
        // A bright rim along the crest.
        canvas.Shade(
            0, static_cast<int>(h * (band.base - band.amplitude - 0.03f)), canvas.Width(),
            static_cast<int>(h * (band.base + band.amplitude + 0.03f)),
            [&](float x, float y) {
                return 0.35f * std::max(0.f, 1 - std::abs(y - edge(x)) / 3.0f);
            },
            [&](float, float) {
                return Rgb{255, 240, 255};
            });
    }
    canvas.Vignette(0.35f);
}

void DrawGeometricMesh(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    canvas.VerticalGradient({14, 22, 40}, {22, 44, 70});
    std::mt19937 random(7);
    constexpr int kColumns = 13;
    constexpr int kRows = 8;
    std::vector<Point> points;
    for (int r = 0; r <= kRows; ++r) {
        for (int c = 0; c <= kColumns; ++c) {
            const float jitter = (r == 0 || r == kRows || c == 0 || c == kColumns) ? 0 : 0.35f;
            points.push_back({(c + Uniform(random, -jitter, jitter)) * w / kColumns,
                              (r + Uniform(random, -jitter, jitter)) * h / kRows});
        }
    }
    auto at = [&](int r, int c) { return points[r * (kColumns + 1) + c]; };
    // Low-poly facets: teal to violet across, darker downwards, each facet a slightly
    // different shade as if lit from the top left.
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            const Point a = at(r, c), b = at(r, c + 1), d = at(r + 1, c), e = at(r + 1, c + 1);
            const Rgb base = Mix({20, 120, 140}, {90, 50, 150}, (c + 0.5f) / kColumns);
            const float depth = 1.0f - 0.45f * (r + 0.5f) / kRows;
            canvas.Triangle(a, b, e, Scale(base, depth * Uniform(random, 0.55f, 0.95f)));
            canvas.Triangle(a, e, d, Scale(base, depth * Uniform(random, 0.45f, 0.85f)));
        }
    }
    const Rgb lineColor{120, 230, 240};
    for (int r = 0; r <= kRows; ++r) {
        for (int c = 0; c <= kColumns; ++c) {
            if (c < kColumns)
                canvas.Line(at(r, c), at(r, c + 1), 1.6f, lineColor, 0.45f);
            if (r < kRows)
                canvas.Line(at(r, c), at(r + 1, c), 1.6f, lineColor, 0.45f);
            if (r < kRows && c < kColumns)
                canvas.Line(at(r, c), at(r + 1, c + 1), 1.2f, lineColor, 0.3f);
        }
    }
    for (const Point& p : points) {
        canvas.Glow(p.x, p.y, 18, {80, 200, 230}, 0.5f, 16);
        canvas.Circle(p.x, p.y, 3.5f, {210, 250, 255});
    }
    canvas.Vignette(0.45f);
}

void DrawSoftBokeh(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    canvas.VerticalGradient({40, 26, 30}, {16, 12, 22});
    std::mt19937 random(11);
    const Rgb palette[] = {
        {255, 190, 90}, {255, 140, 80}, {255, 110, 140}, {120, 200, 220}, {255, 220, 160}};
    // Large, faint and far first; smaller, brighter and nearer on top.
    for (int layer = 0; layer < 3; ++layer) {
        const int count = 26 - layer * 6;
        for (int i = 0; i < count; ++i) {
            const float radius = Uniform(random, 40, 110) * (1.5f - 0.35f * layer);
            const Rgb color = palette[random() % 5];
            const float x = Uniform(random, -0.05f, 1.05f) * w;
            // Denser along a diagonal band, as lights in a street or a room would be.
            const float y = (0.25f + 0.5f * x / w) * h + Uniform(random, -0.3f, 0.3f) * h;
            const float strength = Uniform(random, 0.08f, 0.22f) * (0.7f + 0.3f * layer);
            canvas.Glow(x, y, radius, Scale(color, strength), 1.0f, radius * 0.25f);
            // The bright ring at the rim of an out-of-focus highlight.
            canvas.Glow(x, y, radius, Scale(color, strength * 0.6f), 1.0f, 4);
        }
    }
    canvas.Blur(3);
    canvas.Vignette(0.4f);
}

void DrawMinimalShapes(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    canvas.VerticalGradient({242, 236, 226}, {230, 222, 210});
    const Rgb shadow{200, 190, 176};
    // Soft shadows first, offset to the lower right.
    canvas.Circle(w * 0.30f + 18, h * 0.45f + 22, h * 0.26f, shadow, 0.5f, 30);
    canvas.Rect(w * 0.56f + 16, h * 0.28f + 20, w * 0.72f + 16, h * 0.78f + 20, shadow, 0.4f);
    canvas.Circle(w * 0.30f, h * 0.45f, h * 0.26f, {214, 120, 88});
    canvas.Rect(w * 0.56f, h * 0.28f, w * 0.72f, h * 0.78f, {232, 184, 80});
    // A half disc resting on the ground line.
    const float cx = w * 0.82f, cy = h * 0.80f, r = h * 0.16f;
    canvas.Shade(
        static_cast<int>(cx - r - 2), static_cast<int>(cy - r - 2), static_cast<int>(cx + r + 2),
        static_cast<int>(cy + 1),
        [&](float x, float y) {
            return std::clamp(r - std::hypot(x - cx, y - cy) + 0.5f, 0.f, 1.f) *
                   std::clamp(cy - y + 0.5f, 0.f, 1.f);
        },
        [](float, float) {
            return Rgb{140, 166, 140};
        });
    canvas.Line({w * 0.12f, h * 0.80f}, {w * 0.92f, h * 0.80f}, 3, {60, 60, 70});
    canvas.Circle(w * 0.48f, h * 0.20f, h * 0.04f, {44, 64, 96});
    canvas.Line({w * 0.08f, h * 0.16f}, {w * 0.20f, h * 0.10f}, 3, {44, 64, 96});
    canvas.Grain(0.015f, 3);
}

void DrawNatureLeaves(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    canvas.VerticalGradient({150, 190, 110}, {40, 80, 40});
    std::mt19937 random(5);
    // A leaf: the lens between two circles, along `angle`, with a lighter mid-rib.
    auto leaf = [&](float cx, float cy, float length, float angle, Rgb color) {
        const float width = length * 0.42f;
        const float ca = std::cos(angle), sa = std::sin(angle);
        const float half = length / 2;
        const float radius = (half * half + width * width / 4) / width;
        const float offset = radius - width / 2;
        canvas.Shade(
            static_cast<int>(cx - half - 2), static_cast<int>(cy - half - 2),
            static_cast<int>(cx + half + 2), static_cast<int>(cy + half + 2),
            [&](float x, float y) {
                const float u = (x - cx) * ca + (y - cy) * sa;
                const float v = -(x - cx) * sa + (y - cy) * ca;
                const float d = std::max(std::hypot(u, v - offset), std::hypot(u, v + offset));
                return std::clamp(radius - d + 0.5f, 0.f, 1.f);
            },
            [&](float x, float y) {
                const float u = (x - cx) * ca + (y - cy) * sa;
                const float v = -(x - cx) * sa + (y - cy) * ca;
                const float rib = std::max(0.f, 1 - std::abs(v) / 2.5f) * (u < half * 0.9f);
                const float vein = std::max(
                    0.f,
                    1 - std::abs(std::fmod(std::abs(u) - std::abs(v) * 0.8f + 400, 40.f) - 20) /
                            1.5f);
                const float shade = 0.85f + 0.3f * (v / width);
                return Mix(Mix(Scale(color, shade), Scale(color, 1.35f), rib * 0.7f),
                           Scale(color, 1.2f), vein * 0.25f);
            });
    };
    for (int layer = 0; layer < 3; ++layer) {
        const int count = 60 - layer * 15;
        for (int i = 0; i < count; ++i) {
            const float length = Uniform(random, 140, 260) * (0.7f + 0.3f * layer);
            const Rgb color = Mix({50, 110, 40}, {130, 180, 60}, Uniform(random, 0, 1));
            leaf(Uniform(random, 0, w), Uniform(random, 0, h), length, Uniform(random, 0, kPi),
                 Scale(color, 0.55f + 0.22f * layer));
        }
        if (layer == 0)
            canvas.Blur(6);  // the far leaves out of focus
    }
    canvas.Glow(w * 0.85f, -h * 0.1f, h * 0.9f, {255, 240, 170}, 0.35f, h * 0.8f);
    canvas.Vignette(0.35f);
}

void DrawConcreteWall(Canvas& canvas) {
    const int w = canvas.Width();
    const int h = canvas.Height();
    const float panelW = w / 4.0f;
    const float panelH = h / 2.5f;
    canvas.Shade(
        0, 0, w, h, [](float, float) { return 1.0f; },
        [&](float x, float y) {
            // Each formwork panel cast a slightly different grey.
            const int panel = static_cast<int>(x / panelW) * 7 + static_cast<int>(y / panelH) * 3;
            const float tone = 150 + 8 * std::sin(panel * 1.7f) +
                               18 * FractalNoise(x, y, 220, 5, 21) +
                               5 * FractalNoise(x, y, 6, 2, 44);
            const float light = 1.05f - 0.25f * x / w;  // lit from the left
            return Rgb{tone * light, tone * light * 0.99f, tone * light * 0.97f};
        });
    for (float x = panelW; x < w; x += panelW)
        canvas.Line({x, 0}, {x, static_cast<float>(h)}, 3, {95, 95, 95}, 0.6f);
    for (float y = panelH; y < h; y += panelH)
        canvas.Line({0, y}, {static_cast<float>(w), y}, 3, {95, 95, 95}, 0.6f);
    // Tie holes, six per panel.
    for (float px = 0; px < w; px += panelW) {
        for (float py = 0; py < h; py += panelH) {
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 2; ++j) {
                    const float x = px + panelW * (0.2f + 0.3f * i);
                    const float y = py + panelH * (0.25f + 0.5f * j);
                    canvas.Circle(x + 2, y + 2, 11, {190, 190, 188}, 0.6f, 3);
                    canvas.Circle(x, y, 10, {70, 70, 72}, 0.9f, 2);
                }
            }
        }
    }
    // Pores.
    std::mt19937 random(9);
    for (int i = 0; i < 1500; ++i)
        canvas.Circle(Uniform(random, 0, w), Uniform(random, 0, h), Uniform(random, 0.8f, 2.5f),
                      {90, 90, 90}, 0.5f);
    canvas.Grain(0.03f, 17);
    canvas.Vignette(0.3f);
}

}  // namespace tamro::backgrounds
