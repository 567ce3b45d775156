#include "shaders/CameraComposite.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

// Every variant must give the reference's bytes, so both do the same IEEE operations in the same
// order: this file is built with -ffp-contract=off, so that no multiply-add is fused in one and
// not in the other.

namespace tamro::shaders {

struct CompositeSetup {
    // The quad's local coordinate p (-1..1) at the centre of pixel (x, y) is
    // ((x + 0.5) * scaleX + offsetX, (y + 0.5) * scaleY + offsetY): the interpolated attribute.
    float scaleX = 0, offsetX = 0, scaleY = 0, offsetY = 0;
    float corner = 0;  // c
    float inner = 0;   // 1 - c
    float opacity = 0;
    float aspect = 1;
    bool divideX = false;    // u = (u - 0.5) / aspect + 0.5
    bool multiplyY = false;  // v = (v - 0.5) * aspect + 0.5
    bool mirror = false;
    bool contain = false;
    bool border = false;
    bool dashed = false;
    float borderWidth = 0;
    float borderAlpha = 0;
    float dashCycle = 0;
    float borderColour[3] = {};  // 0..255, in the output's channel order (B, G, R)
    const uint8_t* camera = nullptr;
    uint32_t cameraPitch = 0;
    int32_t cameraMaxX = 0;
    int32_t cameraMaxY = 0;
    float cameraWidth = 0;
    float cameraHeight = 0;
};

namespace {

constexpr float kPi = 3.14159265f;
constexpr float kTwoPi = 2.0f * kPi;
constexpr float kHalfPi = 1.57079633f;
// Added to the edge's derivative width so that the antialiasing never divides by zero.
constexpr float kMinEdgeWidth = 0.0001f;
// Border widths and alphas at or below this draw no border.
constexpr float kMinBorder = 0.0001f;
constexpr float kMinDashCycle = 0.06f;
constexpr float kDashCyclePerWidth = 0.35f;
// Camera aspects at or below this count as 1.
constexpr float kMinAspect = 0.0001f;

// atan(a) on 0..1 as a polynomial in a (Abramowitz and Stegun 4.4.49, error below 1e-5 rad, two
// millionths of a turn). A GPU evaluates atan2 with a short polynomial too; this one is written
// out here, scalar and vector with the same operations, because no library atan2 has a vector
// form giving the scalar one's bits, and a dash edge moved by one ulp flips whole pixels.
constexpr float kAtan1 = 0.9998660f;
constexpr float kAtan3 = -0.3302995f;
constexpr float kAtan5 = 0.1801410f;
constexpr float kAtan7 = -0.0851330f;
constexpr float kAtan9 = 0.0208351f;

// Pixels whose centres lie in [a, b) (a the smaller of the two edges, in pixels) on an axis of
// `size` pixels: the rasteriser's top-left rule, clipped. The edges are exact in double.
std::pair<uint32_t, uint32_t> CoveredSpan(float start, float extent, uint32_t size) {
    double a = static_cast<double>(start) * size;
    double b = (static_cast<double>(start) + extent) * size;
    if (!std::isfinite(a) || !std::isfinite(b))
        return {0, 0};
    if (b < a)
        std::swap(a, b);
    const auto edge = [size](double at) {
        return static_cast<uint32_t>(
            std::clamp(std::ceil(at - 0.5), 0.0, static_cast<double>(size)));
    };
    return {edge(a), edge(b)};
}

struct Coverage {
    uint32_t firstColumn = 0, endColumn = 0, firstRow = 0, endRow = 0;
    bool Empty() const { return firstColumn >= endColumn || firstRow >= endRow; }
};

Coverage Covered(const CameraCompositeConstants& k, const gfx::Texture& out) {
    const auto [left, right] = CoveredSpan(k.rect[0], k.rect[2], out.Width());
    const auto [top, bottom] = CoveredSpan(k.rect[1], k.rect[3], out.Height());
    return {left, right, top, bottom};
}

bool ValidArgs(const gfx::KernelArgs& args) {
    return args.inputs.size() == 1 && args.outputs.size() == 1 && args.inputs[0] &&
           args.outputs[0] && args.inputs[0]->Desc().format == gfx::Format::kBGRA8 &&
           args.outputs[0]->Desc().format == gfx::Format::kBGRA8 && args.constants &&
           args.constantsSize == sizeof(CameraCompositeConstants);
}

CameraCompositeConstants ConstantsOf(const gfx::KernelArgs& args) {
    CameraCompositeConstants k;
    std::memcpy(&k, args.constants, sizeof(k));
    return k;
}

// The quad spans [rectX, rectX + rectWidth] x [rectY, rectY + rectHeight] of the output, and p
// runs from -1 to 1 across it.
void SetPlacement(const CameraCompositeConstants& k, const gfx::Texture& out, CompositeSetup* s) {
    s->scaleX = 2.0f / (k.rect[2] * static_cast<float>(out.Width()));
    s->offsetX = -2.0f * k.rect[0] / k.rect[2] - 1.0f;
    s->scaleY = 2.0f / (k.rect[3] * static_cast<float>(out.Height()));
    s->offsetY = -2.0f * k.rect[1] / k.rect[3] - 1.0f;
}

// Cover crops the camera's longer side, contain letterboxes it: either way x may be divided by
// the aspect and y multiplied by it.
void SetFit(const CameraCompositeConstants& k, CompositeSetup* s) {
    s->aspect = k.borderMisc[1] > kMinAspect ? k.borderMisc[1] : 1.0f;
    const bool cover = k.shape[2] > 0.5f;
    const bool wide = s->aspect > 1.0f;
    s->contain = !cover;
    s->divideX = cover == wide;
    s->multiplyY = cover != wide;
}

void SetBorder(const CameraCompositeConstants& k, CompositeSetup* s) {
    s->borderWidth = k.borderMisc[0];
    s->borderAlpha = k.borderColor[3];
    s->border = s->borderWidth > kMinBorder && s->borderAlpha > kMinBorder;
    s->dashed = k.borderMisc[2] > 0.5f;
    s->dashCycle = std::max(kMinDashCycle, s->borderWidth * kDashCyclePerWidth);
    for (int c = 0; c < 3; ++c)
        s->borderColour[c] = k.borderColor[2 - c] * 255.0f;
}

CompositeSetup MakeSetup(const CameraCompositeConstants& k, const gfx::Texture& camera,
                         const gfx::Texture& out) {
    CompositeSetup s;
    SetPlacement(k, out, &s);
    SetFit(k, &s);
    SetBorder(k, &s);
    s.corner = k.shape[0];
    s.inner = 1.0f - s.corner;
    s.mirror = k.shape[1] > 0.5f;
    s.opacity = k.shape[3];
    s.camera = camera.Data();
    s.cameraPitch = camera.RowPitch();
    s.cameraMaxX = static_cast<int32_t>(camera.Width()) - 1;
    s.cameraMaxY = static_cast<int32_t>(camera.Height()) - 1;
    s.cameraWidth = static_cast<float>(camera.Width());
    s.cameraHeight = static_cast<float>(camera.Height());
    return s;
}

// The reference's arithmetic, one value at a time. Colours are in 0..255 units throughout: every
// step is linear in the colour, so the scale commutes with it and saves a division per channel.

float Centre(uint32_t pixel) {
    return static_cast<float>(pixel) + 0.5f;
}

float Unit(float v) {
    return std::min(std::max(v, 0.0f), 1.0f);
}

// Rounded box of half-extent 1 and radius c: negative inside.
float Distance(const CompositeSetup& s, float px, float py) {
    const float dx = std::fabs(px) - s.inner;
    const float dy = std::fabs(py) - s.inner;
    const float ox = std::max(dx, 0.0f);
    const float oy = std::max(dy, 0.0f);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(dx, dy), 0.0f) - s.corner;
}

float Atan2(float y, float x) {
    const float ax = std::fabs(x);
    const float ay = std::fabs(y);
    const float big = std::max(ax, ay);
    const float small = std::min(ax, ay);
    const float a = big > 0.0f ? small / big : 0.0f;
    const float a2 = a * a;
    float r = ((((kAtan9 * a2 + kAtan7) * a2 + kAtan5) * a2 + kAtan3) * a2 + kAtan1) * a;
    if (ay > ax)
        r = kHalfPi - r;
    if (x < 0.0f)
        r = kPi - r;
    return y < 0.0f ? -r : r;
}

// Whether the dashed border is drawn at p: by the angle around the centre.
bool DashOn(const CompositeSetup& s, float px, float py) {
    const float t = (Atan2(py, px) + kPi) / kTwoPi;
    const float f = t / s.dashCycle;
    return f - std::floor(f) >= 0.5f;
}

// Bilinear sample of the camera at (u, v) clamped to 0..1, texels clamped to the edges.
void Sample(const CompositeSetup& s, float u, float v, float colour[3]) {
    const float fx = Unit(u) * s.cameraWidth - 0.5f;
    const float fy = Unit(v) * s.cameraHeight - 0.5f;
    const float x0 = std::floor(fx);
    const float y0 = std::floor(fy);
    const float wx = fx - x0;
    const float wy = fy - y0;
    const int32_t xa = std::clamp(static_cast<int32_t>(x0), 0, s.cameraMaxX);
    const int32_t xb = std::clamp(static_cast<int32_t>(x0) + 1, 0, s.cameraMaxX);
    const uint8_t* rowA =
        s.camera +
        static_cast<size_t>(std::clamp(static_cast<int32_t>(y0), 0, s.cameraMaxY)) * s.cameraPitch;
    const uint8_t* rowB =
        s.camera + static_cast<size_t>(std::clamp(static_cast<int32_t>(y0) + 1, 0, s.cameraMaxY)) *
                       s.cameraPitch;
    for (int c = 0; c < 3; ++c) {
        const float t00 = rowA[xa * 4 + c], t10 = rowA[xb * 4 + c];
        const float t01 = rowB[xa * 4 + c], t11 = rowB[xb * 4 + c];
        const float top = t00 + wx * (t10 - t00);
        const float bottom = t01 + wx * (t11 - t01);
        colour[c] = top + wy * (bottom - top);
    }
}

uint8_t ToByte(float v) {
    return static_cast<uint8_t>(std::clamp<long>(std::lrint(v), 0, 255));
}

// The blend state: colour = src * a + dst * (1 - a), alpha = a + dst * (1 - a), after the target
// clamps what the pixel stage writes to its range.
void Blend(uint8_t* pixel, const float colour[3], float a) {
    const float keep = 1.0f - a;
    for (int c = 0; c < 3; ++c) {
        const float source = std::min(std::max(colour[c], 0.0f), 255.0f);
        pixel[c] = ToByte(source * a + static_cast<float>(pixel[c]) * keep);
    }
    pixel[3] = ToByte(a * 255.0f + static_cast<float>(pixel[3]) * keep);
}

// The derivatives of the edge distance are taken as a GPU takes them (coarse): the pixels run
// in 2x2 quads aligned to even coordinates, and every pixel of a quad gets d/dx = dist(right) -
// dist(left) along the quad's top row and d/dy = dist(bottom) - dist(top) along its left column.
// Quad neighbours outside the quad's coverage or the output are computed like the others, as the
// GPU's helper pixels are.
float EdgeWidth(const CompositeSetup& s, uint32_t x, uint32_t y) {
    const uint32_t qx = x & ~1u, qy = y & ~1u;
    const float left = Centre(qx) * s.scaleX + s.offsetX;
    const float right = Centre(qx + 1) * s.scaleX + s.offsetX;
    const float top = Centre(qy) * s.scaleY + s.offsetY;
    const float bottom = Centre(qy + 1) * s.scaleY + s.offsetY;
    const float d00 = Distance(s, left, top);
    const float d10 = Distance(s, right, top);
    const float d01 = Distance(s, left, bottom);
    return (std::fabs(d10 - d00) + std::fabs(d01 - d00)) + kMinEdgeWidth;
}

void ShadePixel(const CompositeSetup& s, uint8_t* pixel, uint32_t x, uint32_t y) {
    const float px = Centre(x) * s.scaleX + s.offsetX;
    const float py = Centre(y) * s.scaleY + s.offsetY;
    float u = px * 0.5f + 0.5f;
    float v = py * 0.5f + 0.5f;
    if (s.divideX)
        u = (u - 0.5f) / s.aspect + 0.5f;
    if (s.multiplyY)
        v = (v - 0.5f) * s.aspect + 0.5f;
    if (s.mirror)
        u = 1.0f - u;
    float colour[3];
    Sample(s, u, v, colour);
    float alpha = 1.0f;
    if (s.contain && (u < 0.0f || u > 1.0f || v < 0.0f || v > 1.0f))
        alpha = 0.0f;
    const float dist = Distance(s, px, py);
    const float aa = EdgeWidth(s, x, y);
    const float shape = Unit(0.5f - dist / aa);
    if (s.border) {
        float mask = Unit((s.borderWidth - (-dist)) / aa) * s.borderAlpha;
        if (s.dashed && !DashOn(s, px, py))
            mask = 0.0f;
        for (int c = 0; c < 3; ++c)
            colour[c] = colour[c] + mask * (s.borderColour[c] - colour[c]);
        alpha = std::max(alpha, mask);
    }
    Blend(pixel, colour, Unit(alpha * shape * s.opacity));
}

// The same arithmetic, eight pixels of one row at a time: each operation below is the one of the
// reference above, on eight lanes.

using Vec = __m256;

__attribute__((target("avx2"))) Vec Set(float v) {
    return _mm256_set1_ps(v);
}

__attribute__((target("avx2"))) Vec Abs(Vec v) {
    return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v);
}

// max and min as std::max(a, b) and std::min(a, b) choose: the second operand of the
// instruction is what it returns on a tie.
__attribute__((target("avx2"))) Vec Max(Vec a, Vec b) {
    return _mm256_max_ps(b, a);
}

__attribute__((target("avx2"))) Vec Min(Vec a, Vec b) {
    return _mm256_min_ps(b, a);
}

__attribute__((target("avx2"))) Vec Unit8(Vec v) {
    return Min(Max(v, _mm256_setzero_ps()), Set(1.0f));
}

__attribute__((target("avx2"))) Vec Select(Vec condition, Vec ifTrue, Vec ifFalse) {
    return _mm256_blendv_ps(ifFalse, ifTrue, condition);
}

__attribute__((target("avx2"))) Vec Distance8(const CompositeSetup& s, Vec px, Vec py) {
    const Vec zero = _mm256_setzero_ps();
    const Vec dx = _mm256_sub_ps(Abs(px), Set(s.inner));
    const Vec dy = _mm256_sub_ps(Abs(py), Set(s.inner));
    const Vec ox = Max(dx, zero);
    const Vec oy = Max(dy, zero);
    const Vec length = _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(ox, ox), _mm256_mul_ps(oy, oy)));
    return _mm256_sub_ps(_mm256_add_ps(length, Min(Max(dx, dy), zero)), Set(s.corner));
}

__attribute__((target("avx2"))) Vec Atan2Of8(Vec y, Vec x) {
    const Vec zero = _mm256_setzero_ps();
    const Vec ax = Abs(x);
    const Vec ay = Abs(y);
    const Vec big = Max(ax, ay);
    const Vec small = Min(ax, ay);
    const Vec a = Select(_mm256_cmp_ps(big, zero, _CMP_GT_OQ), _mm256_div_ps(small, big), zero);
    const Vec a2 = _mm256_mul_ps(a, a);
    Vec r = _mm256_add_ps(_mm256_mul_ps(Set(kAtan9), a2), Set(kAtan7));
    r = _mm256_add_ps(_mm256_mul_ps(r, a2), Set(kAtan5));
    r = _mm256_add_ps(_mm256_mul_ps(r, a2), Set(kAtan3));
    r = _mm256_add_ps(_mm256_mul_ps(r, a2), Set(kAtan1));
    r = _mm256_mul_ps(r, a);
    r = Select(_mm256_cmp_ps(ay, ax, _CMP_GT_OQ), _mm256_sub_ps(Set(kHalfPi), r), r);
    r = Select(_mm256_cmp_ps(x, zero, _CMP_LT_OQ), _mm256_sub_ps(Set(kPi), r), r);
    return Select(_mm256_cmp_ps(y, zero, _CMP_LT_OQ), _mm256_xor_ps(r, Set(-0.0f)), r);
}

// All ones where the dashed border is drawn.
__attribute__((target("avx2"))) Vec DashOn8(const CompositeSetup& s, Vec px, Vec py) {
    const Vec t = _mm256_div_ps(_mm256_add_ps(Atan2Of8(py, px), Set(kPi)), Set(kTwoPi));
    const Vec f = _mm256_div_ps(t, Set(s.dashCycle));
    return _mm256_cmp_ps(_mm256_sub_ps(f, _mm256_floor_ps(f)), Set(0.5f), _CMP_GE_OQ);
}

// Channel `c` (byte c of each pixel) of eight pixels as floats.
__attribute__((target("avx2"))) Vec Channel(__m256i pixels, int c) {
    return _mm256_cvtepi32_ps(
        _mm256_and_si256(_mm256_srli_epi32(pixels, c * 8), _mm256_set1_epi32(0xFF)));
}

__attribute__((target("avx2"))) __m256i Clamp(__m256i v, int32_t high) {
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(high));
}

__attribute__((target("avx2"))) Vec Lerp(Vec a, Vec b, Vec w) {
    return _mm256_add_ps(a, _mm256_mul_ps(w, _mm256_sub_ps(b, a)));
}

// Camera rows and weight for one output row: v is the same across the row.
struct SampleRows {
    const uint8_t* a;
    const uint8_t* b;
    float weight;
};

SampleRows RowsAt(const CompositeSetup& s, float v) {
    const float fy = Unit(v) * s.cameraHeight - 0.5f;
    const float y0 = std::floor(fy);
    const auto row = [&s](int32_t y) {
        return s.camera + static_cast<size_t>(std::clamp(y, 0, s.cameraMaxY)) * s.cameraPitch;
    };
    return {row(static_cast<int32_t>(y0)), row(static_cast<int32_t>(y0) + 1), fy - y0};
}

// Where the texels of eight pixels of one camera row lie. Their indices run up or down across
// the lanes, as u does, so the ends hold the extremes; unless the camera is much larger than the
// bubble they lie within 16 texels, which two loads and two permutes fetch for a fraction of a
// gather's cost.
struct TexelWindow {
    int32_t start = 0;
    bool usable = false;
};

__attribute__((target("avx2"))) TexelWindow WindowOf(__m256i xa, __m256i xb, int32_t cameraWidth) {
    const int32_t first = std::min(_mm256_extract_epi32(xa, 0), _mm256_extract_epi32(xa, 7));
    const int32_t last = std::max(_mm256_extract_epi32(xb, 0), _mm256_extract_epi32(xb, 7));
    const int32_t start = std::min(first, cameraWidth - 16);
    return {start, cameraWidth >= 16 && last - start < 16};
}

// Texels `index` of camera row `row`; reads no byte outside the row's pixels.
__attribute__((target("avx2"))) __m256i Fetch(const uint8_t* row, __m256i index,
                                              const TexelWindow& window) {
    if (!window.usable) {
        return _mm256_i32gather_epi32(reinterpret_cast<const int*>(row),
                                      _mm256_slli_epi32(index, 2), 1);
    }
    const auto* at = reinterpret_cast<const __m256i*>(row + static_cast<size_t>(window.start) * 4);
    const __m256i relative = _mm256_sub_epi32(index, _mm256_set1_epi32(window.start));
    const __m256i low = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(at), relative);
    const __m256i high = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(at + 1), relative);
    return _mm256_blendv_epi8(low, high, _mm256_cmpgt_epi32(relative, _mm256_set1_epi32(7)));
}

__attribute__((target("avx2"))) void Sample8(const CompositeSetup& s, Vec u, const SampleRows& rows,
                                             Vec colour[3]) {
    const Vec fx = _mm256_sub_ps(_mm256_mul_ps(Unit8(u), Set(s.cameraWidth)), Set(0.5f));
    const Vec x0 = _mm256_floor_ps(fx);
    const Vec wx = _mm256_sub_ps(fx, x0);
    const __m256i x0i = _mm256_cvttps_epi32(x0);
    const __m256i xa = Clamp(x0i, s.cameraMaxX);
    const __m256i xb = Clamp(_mm256_add_epi32(x0i, _mm256_set1_epi32(1)), s.cameraMaxX);
    const TexelWindow window = WindowOf(xa, xb, s.cameraMaxX + 1);
    const __m256i t00 = Fetch(rows.a, xa, window);
    const __m256i t10 = Fetch(rows.a, xb, window);
    const __m256i t01 = Fetch(rows.b, xa, window);
    const __m256i t11 = Fetch(rows.b, xb, window);
    const Vec wy = Set(rows.weight);
#pragma GCC unroll 3
    for (int c = 0; c < 3; ++c) {
        const Vec top = Lerp(Channel(t00, c), Channel(t10, c), wx);
        const Vec bottom = Lerp(Channel(t01, c), Channel(t11, c), wx);
        colour[c] = Lerp(top, bottom, wy);
    }
}

__attribute__((target("avx2"))) void Blend8(uint8_t* pixels, const Vec colour[3], Vec a) {
    auto* at = reinterpret_cast<__m256i*>(pixels);
    const __m256i destination = _mm256_loadu_si256(at);
    const Vec keep = _mm256_sub_ps(Set(1.0f), a);
    __m256i out = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        const Vec source =
            c < 3 ? _mm256_mul_ps(Min(Max(colour[c], _mm256_setzero_ps()), Set(255.0f)), a)
                  : _mm256_mul_ps(a, Set(255.0f));
        const Vec blended = _mm256_add_ps(source, _mm256_mul_ps(Channel(destination, c), keep));
        const __m256i byte = Clamp(_mm256_cvtps_epi32(blended), 255);
        out = _mm256_or_si256(out, _mm256_slli_epi32(byte, c * 8));
    }
    _mm256_storeu_si256(at, out);
}

// What every pixel of one output row shares.
struct RowState {
    Vec py, pyTop, pyBottom;
    bool bottomRow;
    float v;
    SampleRows rows;
};

__attribute__((target("avx2"))) RowState RowStateAt(const CompositeSetup& s, uint32_t y) {
    const float py = Centre(y) * s.scaleY + s.offsetY;
    float v = py * 0.5f + 0.5f;
    if (s.multiplyY)
        v = (v - 0.5f) * s.aspect + 0.5f;
    const uint32_t qy = y & ~1u;
    return {Set(py),
            Set(Centre(qy) * s.scaleY + s.offsetY),
            Set(Centre(qy + 1) * s.scaleY + s.offsetY),
            (y & 1) != 0,
            v,
            RowsAt(s, v)};
}

// Pixels x .. x + 7, x even, so that the lanes hold four whole quads.
__attribute__((target("avx2"))) void Shade8(const CompositeSetup& s, const RowState& r,
                                            uint8_t* pixels, uint32_t x) {
    const __m256i columns = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(x)),
                                             _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const Vec px = _mm256_add_ps(
        _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(columns), Set(0.5f)), Set(s.scaleX)),
        Set(s.offsetX));
    Vec u = _mm256_add_ps(_mm256_mul_ps(px, Set(0.5f)), Set(0.5f));
    if (s.divideX)
        u = _mm256_add_ps(_mm256_div_ps(_mm256_sub_ps(u, Set(0.5f)), Set(s.aspect)), Set(0.5f));
    if (s.mirror)
        u = _mm256_sub_ps(Set(1.0f), u);
    Vec alpha = Set(1.0f);
    if (s.contain) {
        const bool rowOutside = r.v < 0.0f || r.v > 1.0f;
        const Vec outside = _mm256_or_ps(_mm256_cmp_ps(u, _mm256_setzero_ps(), _CMP_LT_OQ),
                                         _mm256_cmp_ps(u, Set(1.0f), _CMP_GT_OQ));
        alpha = rowOutside ? _mm256_setzero_ps() : _mm256_andnot_ps(outside, alpha);
    }
    const Vec top = Distance8(s, px, r.pyTop);
    const Vec bottom = Distance8(s, px, r.pyBottom);
    const Vec dist = r.bottomRow ? bottom : top;
    const Vec left = _mm256_permute_ps(top, _MM_SHUFFLE(2, 2, 0, 0));
    const Vec right = _mm256_permute_ps(top, _MM_SHUFFLE(3, 3, 1, 1));
    const Vec below = _mm256_permute_ps(bottom, _MM_SHUFFLE(2, 2, 0, 0));
    const Vec aa = _mm256_add_ps(
        _mm256_add_ps(Abs(_mm256_sub_ps(right, left)), Abs(_mm256_sub_ps(below, left))),
        Set(kMinEdgeWidth));
    const Vec shape = Unit8(_mm256_sub_ps(Set(0.5f), _mm256_div_ps(dist, aa)));
    Vec mask = _mm256_setzero_ps();
    if (s.border) {
        const Vec inside = _mm256_xor_ps(dist, Set(-0.0f));
        mask = _mm256_mul_ps(Unit8(_mm256_div_ps(_mm256_sub_ps(Set(s.borderWidth), inside), aa)),
                             Set(s.borderAlpha));
        if (s.dashed)
            mask = _mm256_and_ps(mask, DashOn8(s, px, r.py));
        alpha = Max(alpha, mask);
    }
    const Vec a = Unit8(_mm256_mul_ps(_mm256_mul_ps(alpha, shape), Set(s.opacity)));
    // With a = 0 the blend gives every byte back as it was (src x 0 + dst x 1): outside the shape
    // and in transparent bars there is nothing to sample or write.
    if (_mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_NEQ_UQ)) == 0)
        return;
    Vec colour[3];
    Sample8(s, u, r.rows, colour);
    if (s.border) {
#pragma GCC unroll 3
        for (int c = 0; c < 3; ++c)
            colour[c] = Lerp(colour[c], Set(s.borderColour[c]), mask);
    }
    Blend8(pixels + static_cast<size_t>(x) * 4, colour, a);
}

// Whole quads of eight pixels; a leading odd pixel and a tail shorter than eight by the
// reference, so no load or store passes the span.
__attribute__((target("avx2"))) void RowAvx2(const CompositeSetup& s, uint8_t* row, uint32_t y,
                                             uint32_t first, uint32_t end) {
    uint32_t x = first;
    if ((x & 1) && x < end) {
        CameraCompositeRowPlain(s, row, y, x, x + 1);
        ++x;
    }
    const RowState state = RowStateAt(s, y);
    for (; x + 8 <= end; x += 8)
        Shade8(s, state, row, x);
    if (x < end)
        CameraCompositeRowPlain(s, row, y, x, end);
}

}  // namespace

void CameraCompositeRowPlain(const CompositeSetup& setup, uint8_t* row, uint32_t y, uint32_t first,
                             uint32_t end) {
    for (uint32_t x = first; x < end; ++x)
        ShadePixel(setup, row + static_cast<size_t>(x) * 4, x, y);
}

RowSelection<CompositeRowFunction>& CameraCompositePixelRows() {
    static constexpr RowVariant<CompositeRowFunction> kVariants[] = {
        {"plain", kCpuPlain, CameraCompositeRowPlain},
        {"avx2", kCpuAvx2, RowAvx2},
    };
    static RowSelection<CompositeRowFunction> selection(kVariants);
    return selection;
}

uint32_t CameraCompositeRows(const gfx::KernelArgs& args) {
    if (!ValidArgs(args))
        return 0;
    const Coverage covered = Covered(ConstantsOf(args), *args.outputs[0]);
    return covered.Empty() ? 0 : covered.endRow - covered.firstRow;
}

int32_t CameraComposite(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!ValidArgs(args))
        return kInvalidArg;
    const CameraCompositeConstants constants = ConstantsOf(args);
    const gfx::Texture& camera = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    const Coverage covered = Covered(constants, out);
    const uint32_t rows = covered.Empty() ? 0 : covered.endRow - covered.firstRow;
    if (band.first > band.end || band.end > rows)
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    const CompositeSetup setup = MakeSetup(constants, camera, out);
    const CompositeRowFunction row = CameraCompositePixelRows().row();
    for (uint32_t y = covered.firstRow + band.first; y < covered.firstRow + band.end; ++y)
        row(setup, out.Row(y), y, covered.firstColumn, covered.endColumn);
    return kOk;
}

}  // namespace tamro::shaders
