#include "Canvas.h"

#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cmath>

namespace tamro::backgrounds {
namespace {

uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
    uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

// -1..1
float HashUnit(int x, int y, uint32_t seed) {
    return static_cast<float>(Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y), seed) &
                              0xFFFFFF) /
               8388607.5f -
           1.0f;
}

float ValueNoise(float x, float y, uint32_t seed) {
    const int xi = static_cast<int>(std::floor(x));
    const int yi = static_cast<int>(std::floor(y));
    const float fx = x - xi;
    const float fy = y - yi;
    const float sx = fx * fx * (3 - 2 * fx);
    const float sy = fy * fy * (3 - 2 * fy);
    const float top = HashUnit(xi, yi, seed) * (1 - sx) + HashUnit(xi + 1, yi, seed) * sx;
    const float bottom =
        HashUnit(xi, yi + 1, seed) * (1 - sx) + HashUnit(xi + 1, yi + 1, seed) * sx;
    return top * (1 - sy) + bottom * sy;
}

float Clamp01(float v) {
    return std::clamp(v, 0.0f, 1.0f);
}

// How much of the unit pixel span starting at `p` lies inside [lo, hi].
float SpanCoverage(float p, float lo, float hi) {
    return Clamp01(std::min(p + 1, hi) - std::max(p, lo));
}

}  // namespace

Rgb Mix(Rgb a, Rgb b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Rgb Scale(Rgb c, float factor) {
    return {c.r * factor, c.g * factor, c.b * factor};
}

float SmoothStep(float edge0, float edge1, float x) {
    const float t = Clamp01((x - edge0) / (edge1 - edge0));
    return t * t * (3 - 2 * t);
}

float FractalNoise(float x, float y, float scale, int octaves, uint32_t seed) {
    float sum = 0;
    float amplitude = 0.5f;
    for (int i = 0; i < octaves; ++i) {
        sum += amplitude * ValueNoise(x / scale, y / scale, seed + i * 101);
        scale /= 2;
        amplitude /= 2;
    }
    return sum * 2;
}

Canvas::Canvas(int width, int height)
    : m_width(width), m_height(height), m_pixels(static_cast<size_t>(width) * height) {}

void Canvas::VerticalGradient(Rgb top, Rgb bottom) {
    for (int y = 0; y < m_height; ++y) {
        const Rgb c = Mix(top, bottom, static_cast<float>(y) / (m_height - 1));
        std::fill_n(m_pixels.begin() + Index(0, y), m_width, c);
    }
}

void Canvas::Shade(int x0, int y0, int x1, int y1,
                   const std::function<float(float, float)>& coverage,
                   const std::function<Rgb(float, float)>& color) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, m_width);
    y1 = std::min(y1, m_height);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const float px = x + 0.5f;
            const float py = y + 0.5f;
            const float a = coverage(px, py);
            if (a <= 0)
                continue;
            Rgb& p = m_pixels[Index(x, y)];
            p = Mix(p, color(px, py), std::min(a, 1.0f));
        }
    }
}

void Canvas::Rect(float x0, float y0, float x1, float y1, Rgb color, float alpha) {
    VerticalGradientRect(x0, y0, x1, y1, color, color, alpha);
}

void Canvas::VerticalGradientRect(float x0, float y0, float x1, float y1, Rgb top, Rgb bottom,
                                  float alpha) {
    const float height = std::max(y1 - y0, 1.0f);
    Shade(
        static_cast<int>(std::floor(x0)), static_cast<int>(std::floor(y0)),
        static_cast<int>(std::ceil(x1)), static_cast<int>(std::ceil(y1)),
        [&](float x, float y) {
            return alpha * SpanCoverage(x - 0.5f, x0, x1) * SpanCoverage(y - 0.5f, y0, y1);
        },
        [&](float, float y) { return Mix(top, bottom, Clamp01((y - y0) / height)); });
}

void Canvas::Circle(float cx, float cy, float radius, Rgb color, float alpha, float softness) {
    const float reach = radius + softness;
    Shade(
        static_cast<int>(cx - reach), static_cast<int>(cy - reach),
        static_cast<int>(cx + reach) + 1, static_cast<int>(cy + reach) + 1,
        [&](float x, float y) {
            const float d = std::hypot(x - cx, y - cy);
            return alpha * Clamp01((radius - d) / softness + 0.5f);
        },
        [&](float, float) { return color; });
}

void Canvas::Glow(float cx, float cy, float radius, Rgb color, float strength, float softness) {
    const int x0 = std::max(static_cast<int>(cx - radius), 0);
    const int y0 = std::max(static_cast<int>(cy - radius), 0);
    const int x1 = std::min(static_cast<int>(cx + radius) + 1, m_width);
    const int y1 = std::min(static_cast<int>(cy + radius) + 1, m_height);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
            const float a = strength * SmoothStep(radius, radius - softness, d);
            if (a <= 0)
                continue;
            Rgb& p = m_pixels[Index(x, y)];
            p = {p.r + color.r * a, p.g + color.g * a, p.b + color.b * a};
        }
    }
}

void Canvas::Line(Point a, Point b, float width, Rgb color, float alpha) {
    const float dx = b.x - a.x;
    const float dy = b.y - a.y;
    const float lengthSquared = std::max(dx * dx + dy * dy, 1e-6f);
    const float reach = width / 2 + 1;
    Shade(
        static_cast<int>(std::min(a.x, b.x) - reach), static_cast<int>(std::min(a.y, b.y) - reach),
        static_cast<int>(std::max(a.x, b.x) + reach) + 1,
        static_cast<int>(std::max(a.y, b.y) + reach) + 1,
        [&](float x, float y) {
            const float t = Clamp01(((x - a.x) * dx + (y - a.y) * dy) / lengthSquared);
            const float d = std::hypot(x - (a.x + t * dx), y - (a.y + t * dy));
            return alpha * Clamp01(width / 2 - d + 0.5f);
        },
        [&](float, float) { return color; });
}

void Canvas::Polygon(const std::vector<Point>& points, Rgb color, float alpha) {
    if (points.size() < 3)
        return;
    float area = 0;
    float minX = points[0].x, maxX = points[0].x, minY = points[0].y, maxY = points[0].y;
    for (size_t i = 0; i < points.size(); ++i) {
        const Point& p = points[i];
        const Point& q = points[(i + 1) % points.size()];
        area += p.x * q.y - q.x * p.y;
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const float orientation = area > 0 ? 1.0f : -1.0f;
    Shade(
        static_cast<int>(minX) - 1, static_cast<int>(minY) - 1, static_cast<int>(maxX) + 2,
        static_cast<int>(maxY) + 2,
        [&](float x, float y) {
            float inside = 1e9f;
            for (size_t i = 0; i < points.size(); ++i) {
                const Point& p = points[i];
                const Point& q = points[(i + 1) % points.size()];
                const float ex = q.x - p.x;
                const float ey = q.y - p.y;
                const float length = std::max(std::hypot(ex, ey), 1e-6f);
                inside = std::min(inside, orientation * (ex * (y - p.y) - ey * (x - p.x)) / length);
            }
            return alpha * Clamp01(inside + 0.5f);
        },
        [&](float, float) { return color; });
}

void Canvas::Triangle(Point a, Point b, Point c, Rgb color, float alpha) {
    Polygon({a, b, c}, color, alpha);
}

void Canvas::Grain(float amount, uint32_t seed) {
    for (int y = 0; y < m_height; ++y) {
        for (int x = 0; x < m_width; ++x) {
            Rgb& p = m_pixels[Index(x, y)];
            p = Scale(p, 1 + amount * HashUnit(x, y, seed));
        }
    }
}

void Canvas::Vignette(float strength) {
    const float cx = m_width / 2.0f;
    const float cy = m_height / 2.0f;
    const float reach = std::hypot(cx, cy);
    for (int y = 0; y < m_height; ++y) {
        for (int x = 0; x < m_width; ++x) {
            const float d = std::hypot(x - cx, y - cy) / reach;
            Rgb& p = m_pixels[Index(x, y)];
            p = Scale(p, 1 - strength * d * d);
        }
    }
}

void Canvas::Blur(int radius) {
    const platform::imaging::Picture picture = ToPicture();
    // libyuv's ARGB is B, G, R, A in memory; a blur treats the channels alike, so RGBA passes.
    std::vector<uint8_t> blurred(picture.rgba.size());
    std::vector<int32_t> sums(static_cast<size_t>(m_width) * (m_height + 1) * 4);
    const int stride = m_width * 4;
    libyuv::ARGBBlur(picture.rgba.data(), stride, blurred.data(), stride, sums.data(), stride,
                     m_width, m_height, radius);
    std::vector<uint8_t> twice(picture.rgba.size());
    libyuv::ARGBBlur(blurred.data(), stride, twice.data(), stride, sums.data(), stride, m_width,
                     m_height, radius);
    for (size_t i = 0; i < m_pixels.size(); ++i)
        m_pixels[i] = {static_cast<float>(twice[i * 4]), static_cast<float>(twice[i * 4 + 1]),
                       static_cast<float>(twice[i * 4 + 2])};
}

platform::imaging::Picture Canvas::ToPicture() const {
    platform::imaging::Picture picture{static_cast<uint32_t>(m_width),
                                       static_cast<uint32_t>(m_height),
                                       std::vector<uint8_t>(m_pixels.size() * 4)};
    auto toByte = [](float v) {
        return static_cast<uint8_t>(std::clamp(std::lround(v), 0l, 255l));
    };
    for (size_t i = 0; i < m_pixels.size(); ++i) {
        picture.rgba[i * 4] = toByte(m_pixels[i].r);
        picture.rgba[i * 4 + 1] = toByte(m_pixels[i].g);
        picture.rgba[i * 4 + 2] = toByte(m_pixels[i].b);
        picture.rgba[i * 4 + 3] = 255;
    }
    return picture;
}

}  // namespace tamro::backgrounds
