// The seven room and view backgrounds.
#include <algorithm>
#include <cmath>
#include <random>

#include "Scenes.h"

namespace tamro::backgrounds {
namespace {

float Uniform(std::mt19937& random, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(random);
}

// A point `t` of the way from `p` to the vanishing point.
Point Toward(Point p, Point vanishing, float t) {
    return {p.x + (vanishing.x - p.x) * t, p.y + (vanishing.y - p.y) * t};
}

// A potted plant: a pot and a cluster of leaf discs.
void Plant(Canvas& canvas, std::mt19937& random, float x, float floorY, float size) {
    canvas.VerticalGradientRect(x - size * 0.3f, floorY - size * 0.45f, x + size * 0.3f, floorY,
                                {235, 235, 230}, {190, 190, 185});
    for (int i = 0; i < 26; ++i) {
        const float angle = Uniform(random, -2.8f, -0.3f);
        const float reach = Uniform(random, 0.2f, 1.0f) * size;
        canvas.Circle(x + std::cos(angle) * reach * 0.8f,
                      floorY - size * 0.45f + std::sin(angle) * reach * 1.1f,
                      size * Uniform(random, 0.12f, 0.22f),
                      Mix({40, 100, 45}, {110, 170, 70}, Uniform(random, 0, 1)), 1, 2);
    }
}

void PendantLamp(Canvas& canvas, float x, float cordTop, float y, float size, Rgb shade) {
    canvas.Line({x, cordTop}, {x, y}, 2, {40, 40, 40});
    canvas.Glow(x, y + size * 0.6f, size * 4, {255, 220, 150}, 0.35f, size * 3.8f);
    canvas.Polygon({{x - size * 0.25f, y},
                    {x + size * 0.25f, y},
                    {x + size, y + size * 0.6f},
                    {x - size, y + size * 0.6f}},
                   shade);
    canvas.Circle(x, y + size * 0.62f, size * 0.22f, {255, 240, 200});
}

}  // namespace

void DrawOfficeBlur(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    std::mt19937 random(3);
    canvas.VerticalGradient({225, 228, 230}, {170, 165, 160});
    // Ceiling with light panels, a wall of windows, then the open floor.
    canvas.Rect(0, 0, w, h * 0.18f, {200, 203, 208});
    for (int i = 0; i < 5; ++i)
        canvas.Rect(w * (0.06f + 0.2f * i), h * 0.06f, w * (0.16f + 0.2f * i), h * 0.1f,
                    {255, 255, 250});
    for (int i = 0; i < 6; ++i) {
        const float x0 = w * (0.02f + i * 0.165f);
        canvas.VerticalGradientRect(x0, h * 0.2f, x0 + w * 0.15f, h * 0.58f, {235, 245, 255},
                                    {190, 215, 235});
    }
    canvas.Rect(0, h * 0.58f, w, h, {150, 140, 130});
    // Desks with monitors and chairs, two rows.
    for (int row = 0; row < 2; ++row) {
        const float y = h * (0.6f + 0.18f * row);
        const float scale = 1 + 0.5f * row;
        for (float x = -40 + row * 90; x < w; x += 330 * scale) {
            canvas.Rect(x, y - 70 * scale, x + 60 * scale, y - 20 * scale, {40, 45, 55});
            canvas.Rect(x + 150 * scale, y - 70 * scale, x + 210 * scale, y - 20 * scale,
                        {40, 45, 55});
            canvas.Rect(x - 20, y - 20 * scale, x + 260 * scale, y - 8 * scale, {235, 232, 225});
            canvas.Rect(x + 60 * scale, y, x + 130 * scale, y + 90 * scale, {60, 70, 95});
        }
    }
    for (int i = 0; i < 4; ++i)
        Plant(canvas, random, w * (0.1f + 0.27f * i), h * 0.6f, 130);
    canvas.Blur(18);
    canvas.Vignette(0.2f);
}

void DrawBookshelf(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    std::mt19937 random(19);
    // Dark back panel, shelves at fixed heights, side posts.
    canvas.Shade(
        0, 0, canvas.Width(), canvas.Height(), [](float, float) { return 1.0f; },
        [&](float x, float y) {
            const float grain = 10 * FractalNoise(x * 0.15f, y * 4, 60, 3, 8);
            return Rgb{72 + grain, 44 + grain * 0.6f, 24 + grain * 0.3f};
        });
    const float plankTops[] = {0.0f, 0.27f, 0.52f, 0.77f, 0.96f};
    const float plankHeight = 0.04f;
    const float postWidth = 0.03f;
    const Rgb palette[] = {{170, 30, 35},  {25, 50, 110},  {30, 110, 70},  {220, 170, 40},
                           {20, 130, 140}, {110, 25, 50},  {225, 110, 30}, {235, 225, 200},
                           {60, 60, 70},   {120, 70, 150}, {200, 70, 90},  {90, 140, 190}};
    for (int shelf = 0; shelf + 1 < 5; ++shelf) {
        const float top = h * (plankTops[shelf] + plankHeight);
        const float bottom = h * plankTops[shelf + 1];
        float x = w * postWidth + Uniform(random, 0, 20);
        while (x < w * (1 - postWidth) - 20) {
            const float width = Uniform(random, 24, 58);
            const float right = std::min(x + width, w * (1 - postWidth));
            if (random() % 23 == 0) {  // a gap now and then
                x = right + Uniform(random, 30, 90);
                continue;
            }
            const float height = (bottom - top) * Uniform(random, 0.68f, 0.94f);
            const Rgb color = Scale(palette[random() % 12], Uniform(random, 0.8f, 1.1f));
            const float spineTop = bottom - height;
            canvas.Shade(
                static_cast<int>(x), static_cast<int>(spineTop), static_cast<int>(right),
                static_cast<int>(bottom), [](float, float) { return 1.0f; },
                [&](float px, float) {
                    // Rounded spine: darker towards both edges.
                    const float u = (px - x) / (right - x);
                    return Scale(color, 0.6f + 0.55f * std::sin(3.14159f * u));
                });
            const Rgb band = Mix(color, {240, 210, 120}, 0.6f);
            canvas.Rect(x + 2, spineTop + height * 0.1f, right - 2, spineTop + height * 0.13f,
                        band);
            canvas.Rect(x + 2, spineTop + height * 0.82f, right - 2, spineTop + height * 0.85f,
                        band);
            if (random() % 3 == 0)
                canvas.Rect(x + width * 0.3f, spineTop + height * 0.3f, right - width * 0.3f,
                            spineTop + height * 0.6f, Mix(color, {250, 245, 230}, 0.7f), 0.8f);
            x = right + Uniform(random, 1, 4);
        }
        // The shelf's shadow on the books below it.
        canvas.VerticalGradientRect(w * postWidth, top, w * (1 - postWidth), top + 24, {0, 0, 0},
                                    {0, 0, 0}, 0.35f);
    }
    for (float plank : plankTops) {
        canvas.VerticalGradientRect(0, h * plank, w, h * (plank + plankHeight), {176, 116, 64},
                                    {128, 80, 42});
        canvas.Rect(0, h * plank, w, h * plank + 3, {205, 150, 95});
    }
    canvas.VerticalGradientRect(0, 0, w * postWidth, h, {150, 96, 52}, {120, 74, 38});
    canvas.VerticalGradientRect(w * (1 - postWidth), 0, w, h, {150, 96, 52}, {120, 74, 38});
    canvas.Glow(w * 0.5f, h * 0.1f, w * 0.7f, {255, 200, 140}, 0.12f, w * 0.6f);
    canvas.Vignette(0.4f);
}

void DrawMeetingRoom(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    const Point vp{w * 0.5f, h * 0.42f};
    const float depth = 0.62f;  // how far the back wall is towards the vanishing point
    const Point corners[] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    Point back[4];
    for (int i = 0; i < 4; ++i)
        back[i] = Toward(corners[i], vp, depth);
    canvas.Polygon({corners[0], corners[1], back[1], back[0]}, {235, 235, 232});  // ceiling
    canvas.Polygon({corners[3], corners[2], back[2], back[3]}, {92, 100, 112});   // carpet
    canvas.Polygon({corners[0], back[0], back[3], corners[3]}, {210, 212, 215});  // left wall
    canvas.Polygon({corners[1], back[1], back[2], corners[2]}, {200, 196, 190});  // right wall
    canvas.Rect(back[0].x, back[0].y, back[2].x, back[2].y, {222, 220, 214});     // back wall
    // Windows along the left wall, a screen on the back wall, a whiteboard on the right.
    for (int i = 0; i < 3; ++i) {
        const float t0 = 0.08f + 0.18f * i, t1 = t0 + 0.14f;
        auto wall = [&](float t, float v) {
            return Toward({0, h * v}, {vp.x, vp.y + (h * v - vp.y) * 1.0f}, t);
        };
        canvas.Polygon({wall(t0, 0.12f), wall(t1, 0.12f), wall(t1, 0.7f), wall(t0, 0.7f)},
                       {200, 228, 250});
    }
    const float bw = back[1].x - back[0].x, bh = back[3].y - back[0].y;
    canvas.Rect(back[0].x + bw * 0.25f, back[0].y + bh * 0.2f, back[0].x + bw * 0.75f,
                back[0].y + bh * 0.58f, {30, 34, 42});
    canvas.Polygon({Toward({w, h * 0.2f}, vp, 0.2f), Toward({w, h * 0.2f}, vp, 0.5f),
                    Toward({w, h * 0.55f}, vp, 0.5f), Toward({w, h * 0.55f}, vp, 0.2f)},
                   {248, 248, 246});
    // Ceiling light panels.
    for (int i = 0; i < 3; ++i) {
        const float t0 = 0.1f + 0.17f * i, t1 = t0 + 0.08f;
        canvas.Polygon({Toward({w * 0.35f, 0}, vp, t0), Toward({w * 0.65f, 0}, vp, t0),
                        Toward({w * 0.65f, 0}, vp, t1), Toward({w * 0.35f, 0}, vp, t1)},
                       {255, 255, 248});
    }
    // The table, and chairs along both sides, nearer ones larger.
    const Point tableNearL{w * 0.22f, h * 1.02f}, tableNearR{w * 0.78f, h * 1.02f};
    const Point tableFarL = Toward(tableNearL, vp, 0.72f),
                tableFarR = Toward(tableNearR, vp, 0.72f);
    // Chairs pulled up to both long sides, far ones first; their backs show above the table.
    for (int i = 0; i < 4; ++i) {
        const float t = 0.62f - 0.16f * i;
        for (const Point side : {Point{w * 0.17f, h * 1.02f}, Point{w * 0.83f, h * 1.02f}}) {
            const Point seat = Toward(side, vp, t);
            const float s = 1 - t;
            canvas.VerticalGradientRect(seat.x - 80 * s, seat.y - 330 * s, seat.x + 80 * s,
                                        seat.y - 120 * s, {58, 60, 68}, {32, 34, 40});
            canvas.Circle(seat.x, seat.y - 330 * s, 80 * s, {58, 60, 68});
        }
    }
    canvas.Polygon({tableNearL, tableNearR, tableFarR, tableFarL}, {120, 84, 56});
    canvas.Polygon({Toward(tableNearL, vp, 0.05f), Toward(tableNearR, vp, 0.05f),
                    Toward(tableNearR, vp, 0.1f), Toward(tableNearL, vp, 0.1f)},
                   {150, 110, 78}, 0.5f);
    canvas.Blur(2);
    canvas.Vignette(0.25f);
}

void DrawStartupOffice(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    std::mt19937 random(23);
    canvas.VerticalGradient({246, 246, 242}, {236, 234, 228});
    // Light wooden floor with boards running to the vanishing point.
    const Point vp{w * 0.55f, h * 0.45f};
    const float floorY = h * 0.68f;
    canvas.Rect(0, floorY, w, h, {206, 170, 126});
    for (int i = -12; i <= 12; ++i) {
        const Point bottom{vp.x + i * w * 0.09f, h};
        const float t = (floorY - h) / (vp.y - h);
        canvas.Line(Toward(bottom, vp, t), bottom, 2, {170, 132, 92}, 0.7f);
    }
    // A colourful geometric mural across the back wall.
    const Rgb mural[] = {
        {255, 94, 87}, {255, 190, 60}, {50, 180, 170}, {60, 90, 200}, {250, 140, 180}};
    const float mx0 = w * 0.18f, mx1 = w * 0.78f, my0 = h * 0.14f, my1 = h * 0.5f;
    for (int i = 0; i < 10; ++i) {
        const float x = mx0 + (mx1 - mx0) * i / 10, step = (mx1 - mx0) / 10;
        canvas.Triangle({x, my1}, {x + step, my1}, {x + step * (i % 2), my0}, mural[i % 5]);
        canvas.Triangle({x, my0}, {x + step, my0}, {x + step * ((i + 1) % 2), my1},
                        mural[(i + 2) % 5], 0.75f);
    }
    // A long table with laptops, a sofa, plants and pendant lamps.
    canvas.Rect(w * 0.1f, h * 0.62f, w * 0.6f, h * 0.65f, {250, 250, 250});
    canvas.Rect(w * 0.12f, h * 0.65f, w * 0.125f, h * 0.8f, {60, 60, 60});
    canvas.Rect(w * 0.575f, h * 0.65f, w * 0.58f, h * 0.8f, {60, 60, 60});
    for (int i = 0; i < 4; ++i) {
        const float x = w * (0.15f + 0.11f * i);
        canvas.Polygon(
            {{x, h * 0.62f}, {x + 90, h * 0.62f}, {x + 80, h * 0.55f}, {x + 10, h * 0.55f}},
            {175, 180, 188});
    }
    canvas.Rect(w * 0.68f, h * 0.6f, w * 0.95f, h * 0.76f, {60, 130, 150});
    canvas.Rect(w * 0.68f, h * 0.53f, w * 0.95f, h * 0.62f, {50, 112, 130});
    canvas.Circle(w * 0.74f, h * 0.6f, 34, {255, 200, 70});
    Plant(canvas, random, w * 0.05f, floorY + 30, 150);
    Plant(canvas, random, w * 0.64f, floorY + 20, 110);
    Plant(canvas, random, w * 0.97f, floorY + 40, 170);
    for (int i = 0; i < 4; ++i)
        PendantLamp(canvas, w * (0.17f + 0.13f * i), 0, h * 0.26f, 44, {30, 30, 34});
    canvas.Blur(2);
    canvas.Vignette(0.15f);
}

void DrawExecutiveDesk(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    // Wood panelling: tall panels with grooves, dark walnut.
    canvas.Shade(
        0, 0, canvas.Width(), canvas.Height(), [](float, float) { return 1.0f; },
        [&](float x, float y) {
            const float grain = 12 * FractalNoise(x * 3, y * 0.2f, 90, 4, 31);
            const float panel = std::fmod(x, 240.0f);
            const float groove = panel < 6 ? 0.6f : (panel < 10 ? 1.15f : 1.0f);
            return Scale(Rgb{96 + grain, 58 + grain * 0.6f, 34 + grain * 0.3f}, groove);
        });
    // A framed landscape and a window with blinds.
    canvas.Rect(w * 0.12f, h * 0.14f, w * 0.42f, h * 0.52f, {170, 135, 60});
    canvas.VerticalGradientRect(w * 0.13f, h * 0.16f, w * 0.41f, h * 0.38f, {150, 180, 210},
                                {230, 200, 160});
    canvas.Polygon({{w * 0.13f, h * 0.5f},
                    {w * 0.13f, h * 0.36f},
                    {w * 0.22f, h * 0.28f},
                    {w * 0.33f, h * 0.37f},
                    {w * 0.41f, h * 0.31f},
                    {w * 0.41f, h * 0.5f}},
                   {70, 100, 70});
    canvas.Rect(w * 0.66f, h * 0.08f, w * 0.92f, h * 0.6f, {60, 40, 28});
    for (float y = h * 0.1f; y < h * 0.58f; y += 18)
        canvas.VerticalGradientRect(w * 0.675f, y, w * 0.905f, y + 13, {250, 240, 215},
                                    {200, 185, 160});
    // The desk top, polished, with a reflected sheen and a banker's lamp.
    canvas.VerticalGradientRect(0, h * 0.72f, w, h * 0.78f, {120, 60, 36}, {80, 38, 22});
    canvas.VerticalGradientRect(0, h * 0.78f, w, h, {64, 30, 18}, {36, 16, 10});
    canvas.Rect(0, h * 0.72f, w, h * 0.725f, {190, 120, 80});
    canvas.Glow(w * 0.78f, h * 0.62f, 300, {255, 210, 130}, 0.5f, 280);
    canvas.Rect(w * 0.775f, h * 0.52f, w * 0.785f, h * 0.72f, {190, 160, 70});
    canvas.Rect(w * 0.74f, h * 0.705f, w * 0.82f, h * 0.72f, {190, 160, 70});
    canvas.Polygon({{w * 0.72f, h * 0.52f},
                    {w * 0.84f, h * 0.52f},
                    {w * 0.825f, h * 0.46f},
                    {w * 0.735f, h * 0.46f}},
                   {20, 100, 50});
    canvas.Rect(w * 0.2f, h * 0.64f, w * 0.3f, h * 0.72f, {30, 30, 30});       // pen tray
    canvas.Rect(w * 0.34f, h * 0.70f, w * 0.52f, h * 0.72f, {235, 230, 215});  // papers
    canvas.Vignette(0.5f);
}

void DrawBrickLoft(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    std::mt19937 random(29);
    const float brickW = 104, brickH = 36, mortar = 6;
    const float wallRight = w * 0.62f;
    canvas.Shade(
        0, 0, static_cast<int>(wallRight), canvas.Height(), [](float, float) { return 1.0f; },
        [&](float x, float y) {
            const int row = static_cast<int>(y / brickH);
            const float shifted = x + (row % 2) * brickW / 2;
            const int column = static_cast<int>(shifted / brickW);
            const float bx = std::fmod(shifted, brickW), by = std::fmod(y, brickH);
            const float texture = FractalNoise(x, y, 30, 3, 5);
            if (bx < mortar || by < mortar)
                return Rgb{190 + 15 * texture, 180 + 15 * texture, 165 + 15 * texture};
            const float tone = std::sin(column * 12.9898f + row * 78.233f) * 0.5f + 0.5f;
            const Rgb brick = Mix({150, 62, 44}, {110, 46, 36}, tone);
            return Scale(Mix(brick, {170, 100, 70}, 0.15f * (1 - tone)), 1 + 0.12f * texture);
        });
    // A large steel-framed window beside the wall.
    canvas.VerticalGradientRect(wallRight, 0, w, h * 0.85f, {205, 225, 240}, {240, 238, 230});
    for (float x = wallRight; x <= w; x += (w - wallRight) / 4)
        canvas.Rect(x - 7, 0, x + 7, h * 0.85f, {35, 38, 40});
    for (float y = 0; y <= h * 0.85f; y += h * 0.85f / 6)
        canvas.Rect(wallRight, y - 5, w, y + 5, {35, 38, 40});
    // Wooden floor.
    canvas.Rect(0, h * 0.85f, w, h, {120, 82, 52});
    for (float y = h * 0.85f; y < h; y += 22)
        canvas.Line({0, y}, {w, y}, 2, {90, 60, 38}, 0.8f);
    for (int i = 0; i < 2; ++i)
        PendantLamp(canvas, w * (0.18f + 0.25f * i), 0, h * 0.3f, 48, {25, 25, 25});
    Plant(canvas, random, w * 0.52f, h * 0.9f, 180);
    canvas.Vignette(0.35f);
}

void DrawCityView(Canvas& canvas) {
    const float w = canvas.Width();
    const float h = canvas.Height();
    std::mt19937 random(31);
    // Dusk: deep blue overhead, violet, then orange at the horizon.
    const float horizon = h * 0.72f;
    canvas.Shade(
        0, 0, canvas.Width(), canvas.Height(), [](float, float) { return 1.0f; },
        [&](float, float y) {
            const float t = y / horizon;
            return t < 0.6f ? Mix({20, 30, 80}, {110, 70, 140}, t / 0.6f)
                            : Mix({110, 70, 140}, {250, 150, 90}, std::min((t - 0.6f) / 0.4f, 1.f));
        });
    canvas.Glow(w * 0.7f, horizon, h * 0.5f, {255, 160, 80}, 0.5f, h * 0.45f);
    // Three layers of buildings, hazier further away; nearer ones have lit windows.
    for (int layer = 0; layer < 3; ++layer) {
        const Rgb body = Mix({120, 90, 140}, {18, 20, 34}, layer / 2.0f);
        float x = Uniform(random, -80, 0);
        while (x < w) {
            const float width = Uniform(random, 60, 160) * (1 + 0.4f * layer);
            const float top =
                horizon - Uniform(random, 0.05f, 0.4f + 0.1f * layer) * h + layer * h * 0.06f;
            canvas.Rect(x, top, x + width, h, body);
            if (random() % 4 == 0)
                canvas.Line({x + width / 2, top}, {x + width / 2, top - 60}, 3, body);
            if (layer > 0) {
                for (float wy = top + 14; wy < h; wy += 22) {
                    for (float wx = x + 8; wx + 10 < x + width - 6; wx += 18) {
                        if (random() % 100 < 35)
                            canvas.Rect(
                                wx, wy, wx + 9, wy + 12,
                                Mix({255, 210, 120}, {255, 250, 230}, Uniform(random, 0, 1)),
                                0.6f + 0.2f * layer);
                    }
                }
            }
            x += width + Uniform(random, 0, 20);
        }
    }
    // The room's window frame in front.
    const Rgb frame{24, 24, 28};
    canvas.Rect(0, 0, w, 24, frame);
    canvas.Rect(0, h - 60, w, h, frame);
    for (float x : {0.0f, w / 3, 2 * w / 3, w})
        canvas.Rect(x - 14, 0, x + 14, h, frame);
    canvas.Rect(0, h * 0.3f - 8, w, h * 0.3f + 8, frame);
}

}  // namespace tamro::backgrounds
