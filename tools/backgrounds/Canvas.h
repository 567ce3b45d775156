#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "platform/imaging/Picture.h"

namespace tamro::backgrounds {

// Channels 0..255 as floats, so that layered gradients and soft edges blend without banding.
struct Rgb {
    float r = 0;
    float g = 0;
    float b = 0;
};

Rgb Mix(Rgb a, Rgb b, float t);
Rgb Scale(Rgb c, float factor);

struct Point {
    float x = 0;
    float y = 0;
};

// A picture being drawn: shapes are painted over what is there with a coverage in 0..1 that
// gives them anti-aliased or soft edges.
class Canvas {
  public:
    Canvas(int width, int height);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    Rgb At(int x, int y) const { return m_pixels[Index(x, y)]; }

    void VerticalGradient(Rgb top, Rgb bottom);
    // Paints `color(x, y)` with `coverage(x, y)` over the pixels of the box (clipped).
    void Shade(int x0, int y0, int x1, int y1, const std::function<float(float, float)>& coverage,
               const std::function<Rgb(float, float)>& color);

    void Rect(float x0, float y0, float x1, float y1, Rgb color, float alpha = 1);
    void VerticalGradientRect(float x0, float y0, float x1, float y1, Rgb top, Rgb bottom,
                              float alpha = 1);
    // `softness` is the width of the edge's fall-off in pixels.
    void Circle(float cx, float cy, float radius, Rgb color, float alpha = 1,
                float softness = 1.5f);
    // Adds light instead of covering: bokeh highlights and glows.
    void Glow(float cx, float cy, float radius, Rgb color, float strength, float softness);
    void Line(Point a, Point b, float width, Rgb color, float alpha = 1);
    // A convex polygon, vertices in either order.
    void Polygon(const std::vector<Point>& points, Rgb color, float alpha = 1);
    void Triangle(Point a, Point b, Point c, Rgb color, float alpha = 1);

    // Multiplies each pixel by 1 + amount * noise, per pixel or by a smooth noise of the scale.
    void Grain(float amount, uint32_t seed);
    void Vignette(float strength);
    // Box blur, twice, of the given radius.
    void Blur(int radius);

    platform::imaging::Picture ToPicture() const;

  private:
    size_t Index(int x, int y) const { return static_cast<size_t>(y) * m_width + x; }

    int m_width;
    int m_height;
    std::vector<Rgb> m_pixels;
};

// Smooth noise in about -1..1, octaves summed from `scale` pixels down.
float FractalNoise(float x, float y, float scale, int octaves, uint32_t seed);

float SmoothStep(float edge0, float edge1, float x);

}  // namespace tamro::backgrounds
