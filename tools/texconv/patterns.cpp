// patterns.cpp: the project's own procedural textures, drawn instead of reading an image.
// Reads a pattern name and a size; writes an RGBA8 Image that tiles seamlessly.
// Only +, -, *, / and sqrt are used, so every machine draws the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "texenc.h"

namespace
{

constexpr int SUPERSAMPLE = 4; // per axis: edges are smooth before any mipmapping

struct Colour {
    float r, g, b;
};

Colour mix(const Colour &a, const Colour &b, float t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Colour scale(const Colour &c, float k)
{
    return {c.r * k, c.g * k, c.b * k};
}

float frac(float v)
{
    return v - std::floor(v);
}
// 0 at integers, 1 half-way between: a wave of period 1 without trigonometry.
float triangle(float v)
{
    return 1.0f - std::fabs(2.0f * frac(v) - 1.0f);
}
float smooth(float t)
{
    return t * t * (3.0f - 2.0f * t);
}

uint32_t hash2(uint32_t x, uint32_t y, uint32_t seed)
{
    uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

// Value noise on a lattice of px by py cells over the unit square, wrapping at its edges.
float value_noise(float u, float v, int px, int py, uint32_t seed)
{
    const float x = u * px, y = v * py;
    const int x0 = (int)std::floor(x), y0 = (int)std::floor(y);
    const float fx = smooth(x - x0), fy = smooth(y - y0);
    auto at = [&](int i, int j) {
        const uint32_t wi = (uint32_t)(((i % px) + px) % px), wj = (uint32_t)(((j % py) + py) % py);
        return (float)(hash2(wi, wj, seed) >> 8) / (float)(1u << 24);
    };
    const float a = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * fx;
    const float b = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * fx;
    return a + (b - a) * fy;
}

// Interlocking tubes on quarter-circle tiles, lit from above, on a dark ground.
// u, v in 0..1 over the texture; cx, cy tiles across it.
Colour tubes(float u, float v, int cx, int cy)
{
    const float x = u * cx, y = v * cy;
    const int ix = (int)std::floor(x), iy = (int)std::floor(y);
    const float lx = x - ix, ly = y - iy;
    const bool flip = hash2((uint32_t)(ix % cx), (uint32_t)(iy % cy), 7) & 1;
    // Two arcs of radius 1/2 join the midpoints of the tile's edges around two corners.
    const float ax = flip ? 1.0f : 0.0f, bx = 1.0f - ax;
    const float da = std::sqrt((lx - ax) * (lx - ax) + ly * ly);
    const float db = std::sqrt((lx - bx) * (lx - bx) + (ly - 1.0f) * (ly - 1.0f));
    const float d = std::min(std::fabs(da - 0.5f), std::fabs(db - 0.5f));

    constexpr float HALF_WIDTH = 0.16f, SHADOW = 0.12f;
    const Colour ground = mix({18, 24, 46}, {34, 44, 78}, triangle(u + v));
    if (d >= HALF_WIDTH) {
        const float lit = std::min(1.0f, (d - HALF_WIDTH) / SHADOW);
        return scale(ground, 0.5f + 0.5f * lit);
    }
    const float across = d / HALF_WIDTH;
    const float height = std::sqrt(1.0f - across * across); // a round tube's profile
    const Colour body = mix({36, 168, 158}, {236, 178, 58}, triangle(u - v));
    float shine = height * height;
    shine *= shine;
    shine *= shine; // height^8: a narrow highlight along the top of the tube
    return mix(scale(body, 0.3f + 0.7f * height), {255, 250, 235}, 0.55f * shine);
}

// Warm veined stone: diagonal bands bent by fractal noise.
Colour marble(float u, float v, int rx, int ry)
{
    float turbulence = 0.0f, amplitude = 0.5f;
    for (int octave = 0, f = 4; octave < 5; octave++, f *= 2) {
        turbulence += amplitude * value_noise(u, v, f * rx, f * ry, 11 + octave);
        amplitude *= 0.5f;
    }
    const float band = triangle(2.0f * u * rx + 1.0f * v * ry + 1.7f * turbulence);
    float vein = 1.0f - band;
    vein *= vein;
    vein *= vein;
    vein *= vein; // thin dark veins where the band wave turns
    const float grain = value_noise(u, v, 64 * rx, 64 * ry, 3);
    const Colour stone = mix({186, 92, 52}, {246, 226, 192}, smooth(band));
    const Colour veined = mix(stone, {84, 30, 22}, 0.85f * vein);
    return scale(veined, 0.9f + 0.1f * grain);
}

} // namespace

const std::vector<std::string> &enc_pattern_names()
{
    static const std::vector<std::string> names = {"tubes", "marble"};
    return names;
}

bool enc_pattern(const std::string &name, int width, int height, Image *out)
{
    const bool is_tubes = name == "tubes";
    if (!is_tubes && name != "marble")
        return false;
    // Square tiles and noise cells whatever the aspect: repeats scale with each side.
    const int shorter = std::min(width, height);
    const int rx = width / shorter, ry = height / shorter;
    const int tiles = std::max(1, shorter / 32);
    out->width = width;
    out->height = height;
    out->rgba.assign((size_t)width * height * 4, 255);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            Colour sum = {0, 0, 0};
            for (int sy = 0; sy < SUPERSAMPLE; sy++) {
                for (int sx = 0; sx < SUPERSAMPLE; sx++) {
                    const float u = (x + (sx + 0.5f) / SUPERSAMPLE) / width;
                    const float v = (y + (sy + 0.5f) / SUPERSAMPLE) / height;
                    const Colour c =
                        is_tubes ? tubes(u, v, tiles * rx, tiles * ry) : marble(u, v, rx, ry);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                }
            }
            uint8_t *p = &out->rgba[((size_t)y * width + x) * 4];
            constexpr float N = SUPERSAMPLE * SUPERSAMPLE;
            p[0] = (uint8_t)std::clamp(std::lround(sum.r / N), 0L, 255L);
            p[1] = (uint8_t)std::clamp(std::lround(sum.g / N), 0L, 255L);
            p[2] = (uint8_t)std::clamp(std::lround(sum.b / N), 0L, 255L);
        }
    }
    return true;
}
