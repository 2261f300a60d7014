// texenc.cpp: the texture tool's encoder.
// Reads RGBA8 images; writes box-filtered mipmap levels, the palette or compression table
// of the formats that have one, and the 3DF file bytes (16-bit texels big-endian).
#include "texenc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "gfx/gfx.h"

namespace
{

constexpr int ASPECTS[][2] = {{8, 1}, {4, 1}, {2, 1}, {1, 1}, {1, 2}, {1, 4}, {1, 8}};

bool power_of_two_size(int v)
{
    return v >= 1 && v <= 256 && (v & (v - 1)) == 0;
}

// ---- mipmap levels ------------------------------------------------------------------

struct FloatImage {
    int width = 0;
    int height = 0;
    std::vector<float> rgba; // 0..255, linear light when asked for
};

float srgb_to_linear(float c)
{
    const float v = c / 255.0f;
    return 255.0f * (v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f));
}

float linear_to_srgb(float c)
{
    const float v = std::clamp(c / 255.0f, 0.0f, 1.0f);
    return 255.0f * (v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f);
}

// One destination texel's share of the source along one axis.
struct Tap {
    int first = 0;              // first source texel
    std::vector<float> weights; // sum to 1
};

// Destination texel d covers [d * n / m, (d + 1) * n / m) of the n source texels.
std::vector<Tap> box_taps(int n, int m)
{
    std::vector<Tap> taps(m);
    for (int d = 0; d < m; d++) {
        const double lo = (double)d * n / m, hi = (double)(d + 1) * n / m;
        Tap &t = taps[d];
        t.first = (int)std::floor(lo);
        const int last = std::min(n - 1, (int)std::ceil(hi) - 1);
        for (int s = t.first; s <= last; s++)
            t.weights.push_back(
                (float)((std::min(hi, s + 1.0) - std::max(lo, (double)s)) / (hi - lo)));
    }
    return taps;
}

FloatImage box_resample(const FloatImage &src, int width, int height)
{
    const std::vector<Tap> tx = box_taps(src.width, width), ty = box_taps(src.height, height);
    FloatImage rows; // horizontal pass
    rows.width = width;
    rows.height = src.height;
    rows.rgba.assign((size_t)width * src.height * 4, 0.0f);
    for (int y = 0; y < src.height; y++)
        for (int x = 0; x < width; x++)
            for (size_t k = 0; k < tx[x].weights.size(); k++)
                for (int c = 0; c < 4; c++)
                    rows.rgba[((size_t)y * width + x) * 4 + c] +=
                        tx[x].weights[k] *
                        src.rgba[((size_t)y * src.width + tx[x].first + k) * 4 + c];
    FloatImage out;
    out.width = width;
    out.height = height;
    out.rgba.assign((size_t)width * height * 4, 0.0f);
    for (int y = 0; y < height; y++)
        for (size_t k = 0; k < ty[y].weights.size(); k++)
            for (int x = 0; x < width; x++)
                for (int c = 0; c < 4; c++)
                    out.rgba[((size_t)y * width + x) * 4 + c] +=
                        ty[y].weights[k] *
                        rows.rgba[((size_t)(ty[y].first + k) * width + x) * 4 + c];
    return out;
}

uint8_t to_byte(float v)
{
    return (uint8_t)std::lround(std::clamp(v, 0.0f, 255.0f));
}

// ---- quantising ---------------------------------------------------------------------

// A channel of `bits` bits widened to 8 by repeating its bits from the top.
int widen(int v, int bits)
{
    int out = 0, have = 0;
    while (have < 8) {
        out = out << bits | v;
        have += bits;
    }
    return out >> (have - 8);
}

// The code of `bits` bits whose widened value is nearest to v.
int narrow(int v, int bits)
{
    int best = 0;
    for (int q = 1; q < 1 << bits; q++)
        if (std::abs(widen(q, bits) - v) < std::abs(widen(best, bits) - v))
            best = q;
    return best;
}

struct Narrow {
    uint8_t code[9][256]; // [bits][value]
};

const Narrow &narrow_table()
{
    static const Narrow table = [] {
        Narrow n{};
        for (int b = 1; b <= 8; b++)
            for (int v = 0; v < 256; v++)
                n.code[b][v] = (uint8_t)narrow(v, b);
        return n;
    }();
    return table;
}

int luminance(const uint8_t *p)
{
    return (299 * p[0] + 587 * p[1] + 114 * p[2] + 500) / 1000;
}

struct Rgb {
    int r, g, b;
};

int nearest(const std::vector<Rgb> &colours, const uint8_t *p)
{
    int best = 0, best_d = INT32_MAX;
    for (int k = 0; k < (int)colours.size(); k++) {
        const int dr = colours[k].r - p[0], dg = colours[k].g - p[1], db = colours[k].b - p[2];
        const int d = dr * dr + dg * dg + db * db;
        if (d < best_d) {
            best_d = d;
            best = k;
        }
    }
    return best;
}

// ---- palette: median cut ------------------------------------------------------------

struct Bin {
    uint32_t rgb;   // 0xRRGGBB
    uint32_t count; // texels of that colour
};

int channel(uint32_t rgb, int c)
{
    return (int)(rgb >> (16 - 8 * c) & 255);
}

// Splits the box with the widest channel range at the median texel of that channel until
// there are 256 boxes or none can be split; each box's entry is its mean colour.
std::vector<Rgb> median_cut(std::vector<Bin> bins)
{
    struct Box {
        size_t begin, end;
    };
    std::vector<Box> boxes = {{0, bins.size()}};
    auto widest = [&](const Box &b, int *axis) {
        int best = -1;
        for (int c = 0; c < 3; c++) {
            int lo = 255, hi = 0;
            for (size_t k = b.begin; k < b.end; k++) {
                lo = std::min(lo, channel(bins[k].rgb, c));
                hi = std::max(hi, channel(bins[k].rgb, c));
            }
            if (hi - lo > best) {
                best = hi - lo;
                *axis = c;
            }
        }
        return best;
    };
    while (boxes.size() < 256) {
        int pick = -1, pick_range = 0, axis = 0;
        for (int k = 0; k < (int)boxes.size(); k++) {
            int a = 0;
            const int range = widest(boxes[k], &a);
            if (boxes[k].end - boxes[k].begin > 1 && range > pick_range) {
                pick = k;
                pick_range = range;
                axis = a;
            }
        }
        if (pick < 0)
            break;
        Box &b = boxes[pick];
        std::stable_sort(bins.begin() + (long)b.begin, bins.begin() + (long)b.end,
                         [axis](const Bin &x, const Bin &y) {
                             return channel(x.rgb, axis) < channel(y.rgb, axis);
                         });
        uint64_t total = 0, half = 0;
        for (size_t k = b.begin; k < b.end; k++)
            total += bins[k].count;
        size_t split = b.begin + 1;
        for (size_t k = b.begin; k + 1 < b.end; k++) {
            half += bins[k].count;
            split = k + 1;
            if (half * 2 >= total)
                break;
        }
        const Box upper = {split, b.end};
        b.end = split;
        boxes.push_back(upper);
    }
    std::vector<Rgb> palette;
    for (const Box &b : boxes) {
        uint64_t sum[3] = {}, n = 0;
        for (size_t k = b.begin; k < b.end; k++) {
            for (int c = 0; c < 3; c++)
                sum[c] += (uint64_t)channel(bins[k].rgb, c) * bins[k].count;
            n += bins[k].count;
        }
        palette.push_back({(int)((sum[0] + n / 2) / n), (int)((sum[1] + n / 2) / n),
                           (int)((sum[2] + n / 2) / n)});
    }
    return palette;
}

std::vector<Rgb> make_palette(const std::vector<Image> &levels)
{
    std::vector<Bin> bins;
    for (const Image &im : levels)
        for (size_t k = 0; k < im.rgba.size(); k += 4)
            bins.push_back(
                {(uint32_t)im.rgba[k] << 16 | (uint32_t)im.rgba[k + 1] << 8 | im.rgba[k + 2], 1});
    std::sort(bins.begin(), bins.end(), [](const Bin &a, const Bin &b) { return a.rgb < b.rgb; });
    std::vector<Bin> merged;
    for (const Bin &b : bins) {
        if (!merged.empty() && merged.back().rgb == b.rgb)
            merged.back().count++;
        else
            merged.push_back(b);
    }
    if (merged.empty())
        merged.push_back({0, 1});
    std::vector<Rgb> palette = median_cut(merged);
    palette.resize(256, palette.back()); // unused entries repeat the last
    return palette;
}

// ---- compression table: Y, I, Q by 1-D k-means -------------------------------------

// `k` centres fitted to weighted samples: start evenly over the range, then Lloyd steps.
std::vector<double> kmeans_1d(const std::vector<double> &v, int k)
{
    const auto [lo_it, hi_it] = std::minmax_element(v.begin(), v.end());
    const double lo = v.empty() ? 0 : *lo_it, hi = v.empty() ? 0 : *hi_it;
    std::vector<double> centre(k);
    for (int j = 0; j < k; j++)
        centre[j] = lo + (hi - lo) * (j + 0.5) / k;
    std::vector<double> sum(k), n(k);
    for (int iter = 0; iter < 30; iter++) {
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(n.begin(), n.end(), 0.0);
        for (double x : v) {
            int best = 0;
            for (int j = 1; j < k; j++)
                if (std::fabs(x - centre[j]) < std::fabs(x - centre[best]))
                    best = j;
            sum[best] += x;
            n[best] += 1;
        }
        for (int j = 0; j < k; j++)
            if (n[j] > 0)
                centre[j] = sum[j] / n[j];
    }
    return centre;
}

// The compression table before rounding: texel = Y[y] + I[i] + Q[q] per channel.
struct NccFit {
    double y[16];
    double i[4][3];
    double q[4][3];
};

GuNccTable to_table(const NccFit &f)
{
    GuNccTable t{};
    for (int k = 0; k < 16; k++)
        t.y[k] = (int16_t)std::clamp(std::lround(f.y[k]), 0L, 255L);
    for (int k = 0; k < 4; k++) {
        for (int c = 0; c < 3; c++) {
            t.i[k][c] = (int16_t)std::clamp(std::lround(f.i[k][c]), -256L, 255L);
            t.q[k][c] = (int16_t)std::clamp(std::lround(f.q[k][c]), -256L, 255L);
        }
    }
    return t;
}

GuNccTable make_ncc(const std::vector<Image> &levels)
{
    std::vector<double> ys, is, qs;
    for (const Image &im : levels) {
        for (size_t k = 0; k < im.rgba.size(); k += 4) {
            const double r = im.rgba[k], g = im.rgba[k + 1], b = im.rgba[k + 2];
            ys.push_back(0.299 * r + 0.587 * g + 0.114 * b);
            is.push_back(0.596 * r - 0.274 * g - 0.322 * b);
            qs.push_back(0.211 * r - 0.523 * g + 0.312 * b);
        }
    }
    const std::vector<double> y = kmeans_1d(ys, 16), i = kmeans_1d(is, 4), q = kmeans_1d(qs, 4);
    // The inverse transform's columns: I and Q as their red, green and blue parts.
    constexpr double I_RGB[3] = {0.956, -0.272, -1.106}, Q_RGB[3] = {0.621, -0.647, 1.703};
    NccFit fit;
    for (int k = 0; k < 16; k++)
        fit.y[k] = y[k];
    for (int k = 0; k < 4; k++) {
        for (int c = 0; c < 3; c++) {
            fit.i[k][c] = i[k] * I_RGB[c];
            fit.q[k][c] = q[k] * Q_RGB[c];
        }
    }
    return to_table(fit);
}

// The colours of the 256 yiq codes.
std::vector<Rgb> ncc_colours(const GuNccTable &t)
{
    std::vector<Rgb> out(256);
    for (int v = 0; v < 256; v++) {
        const int y = t.y[v >> 4], i = v >> 2 & 3, q = v & 3;
        out[v] = {std::clamp(y + t.i[i][0] + t.q[q][0], 0, 255),
                  std::clamp(y + t.i[i][1] + t.q[q][1], 0, 255),
                  std::clamp(y + t.i[i][2] + t.q[q][2], 0, 255)};
    }
    return out;
}

void put16(std::vector<uint8_t> *out, int v)
{
    out->push_back((uint8_t)(v >> 8));
    out->push_back((uint8_t)v);
}

} // namespace

const std::vector<FormatInfo> &enc_formats()
{
    static const std::vector<FormatInfo> formats = {
        {"rgb332", GR_TEXFMT_RGB_332, 1},
        {"yiq", GR_TEXFMT_YIQ_422, 1},
        {"a8", GR_TEXFMT_ALPHA_8, 1},
        {"i8", GR_TEXFMT_INTENSITY_8, 1},
        {"ai44", GR_TEXFMT_ALPHA_INTENSITY_44, 1},
        {"p8", GR_TEXFMT_P_8, 1},
        {"argb8332", GR_TEXFMT_ARGB_8332, 2},
        {"ayiq8422", GR_TEXFMT_AYIQ_8422, 2},
        {"rgb565", GR_TEXFMT_RGB_565, 2},
        {"argb1555", GR_TEXFMT_ARGB_1555, 2},
        {"argb4444", GR_TEXFMT_ARGB_4444, 2},
        {"ai88", GR_TEXFMT_ALPHA_INTENSITY_88, 2},
        {"ap88", GR_TEXFMT_AP_88, 2},
    };
    return formats;
}

const FormatInfo *enc_format_by_name(const std::string &name)
{
    for (const FormatInfo &f : enc_formats())
        if (name == f.name)
            return &f;
    return nullptr;
}

const FormatInfo *enc_format_info(int32_t format)
{
    for (const FormatInfo &f : enc_formats())
        if (f.format == format)
            return &f;
    return nullptr;
}

std::string enc_check_shape(const MipShape &s)
{
    if (!power_of_two_size(s.small_size) || !power_of_two_size(s.large_size))
        return "level sizes must be powers of two from 1 to 256";
    if (s.small_size > s.large_size)
        return "the smallest level size is above the largest";
    for (const auto &a : ASPECTS)
        if (a[0] == s.aspect_w && a[1] == s.aspect_h)
            return "";
    return "aspect must be one of 8 1, 4 1, 2 1, 1 1, 1 2, 1 4, 1 8";
}

int enc_level_count(const MipShape &s)
{
    int n = 1;
    for (int size = s.large_size; size > s.small_size; size /= 2)
        n++;
    return n;
}

void enc_level_size(const MipShape &s, int level, int *width, int *height)
{
    const int longer = s.large_size;
    int w = longer, h = longer;
    if (s.aspect_w >= s.aspect_h)
        h = std::max(1, longer * s.aspect_h / s.aspect_w);
    else
        w = std::max(1, longer * s.aspect_w / s.aspect_h);
    *width = std::max(1, w >> level);
    *height = std::max(1, h >> level);
}

std::vector<Image> enc_mip_chain(const Image &src, const MipShape &shape, bool linear)
{
    FloatImage base;
    base.width = src.width;
    base.height = src.height;
    base.rgba.resize(src.rgba.size());
    for (size_t k = 0; k < src.rgba.size(); k++)
        base.rgba[k] = (k % 4 != 3 && linear) ? srgb_to_linear(src.rgba[k]) : src.rgba[k];

    std::vector<Image> levels;
    for (int l = 0; l < enc_level_count(shape); l++) {
        int w, h;
        enc_level_size(shape, l, &w, &h);
        const FloatImage f = box_resample(base, w, h);
        Image im;
        im.width = w;
        im.height = h;
        im.rgba.resize(f.rgba.size());
        for (size_t k = 0; k < f.rgba.size(); k++)
            im.rgba[k] = to_byte((k % 4 != 3 && linear) ? linear_to_srgb(f.rgba[k]) : f.rgba[k]);
        levels.push_back(std::move(im));
    }
    return levels;
}

Encoded enc_encode(const std::vector<Image> &levels, int32_t format)
{
    const Narrow &nt = narrow_table();
    const FormatInfo *fi = enc_format_info(format);
    Encoded e;
    e.format = format;
    if (!fi)
        return e;

    std::vector<Rgb> colours; // what an index means, for the formats with a table
    if (format == GR_TEXFMT_P_8 || format == GR_TEXFMT_AP_88) {
        colours = make_palette(levels);
        for (const Rgb &c : colours) {
            put16(&e.table, 0xff00 | c.r);
            put16(&e.table, c.g << 8 | c.b);
        }
    } else if (format == GR_TEXFMT_YIQ_422 || format == GR_TEXFMT_AYIQ_8422) {
        const GuNccTable t = make_ncc(levels);
        colours = ncc_colours(t);
        int16_t v[40]; // 16 Y, then 4 I and 4 Q entries of red, green, blue
        std::memcpy(v, t.y, sizeof t.y);
        std::memcpy(v + 16, t.i, sizeof t.i);
        std::memcpy(v + 28, t.q, sizeof t.q);
        for (int k = 0; k < 40; k++)
            put16(&e.table, (uint16_t)v[k]);
    }

    for (const Image &im : levels) {
        Image dec;
        dec.width = im.width;
        dec.height = im.height;
        dec.rgba.resize(im.rgba.size());
        for (size_t k = 0; k < im.rgba.size(); k += 4) {
            const uint8_t *p = &im.rgba[k];
            const int a = p[3], lum = luminance(p);
            int code = 0, r = 0, g = 0, b = 0, alpha = 255;
            switch (format) {
            case GR_TEXFMT_RGB_332:
            case GR_TEXFMT_ARGB_8332: {
                const int qr = nt.code[3][p[0]], qg = nt.code[3][p[1]], qb = nt.code[2][p[2]];
                code = qr << 5 | qg << 2 | qb;
                r = widen(qr, 3), g = widen(qg, 3), b = widen(qb, 2);
                break;
            }
            case GR_TEXFMT_YIQ_422:
            case GR_TEXFMT_AYIQ_8422:
            case GR_TEXFMT_P_8:
            case GR_TEXFMT_AP_88: {
                code = nearest(colours, p);
                r = colours[code].r, g = colours[code].g, b = colours[code].b;
                break;
            }
            case GR_TEXFMT_ALPHA_8:
                code = a;
                r = g = b = 255, alpha = a;
                break;
            case GR_TEXFMT_INTENSITY_8:
            case GR_TEXFMT_ALPHA_INTENSITY_88:
                code = lum;
                r = g = b = lum;
                break;
            case GR_TEXFMT_ALPHA_INTENSITY_44: {
                const int qa = nt.code[4][a], qi = nt.code[4][lum];
                code = qa << 4 | qi;
                r = g = b = widen(qi, 4), alpha = widen(qa, 4);
                break;
            }
            case GR_TEXFMT_RGB_565: {
                const int qr = nt.code[5][p[0]], qg = nt.code[6][p[1]], qb = nt.code[5][p[2]];
                code = qr << 11 | qg << 5 | qb;
                r = widen(qr, 5), g = widen(qg, 6), b = widen(qb, 5);
                break;
            }
            case GR_TEXFMT_ARGB_1555: {
                const int qa = a >= 128, qr = nt.code[5][p[0]], qg = nt.code[5][p[1]],
                          qb = nt.code[5][p[2]];
                code = qa << 15 | qr << 10 | qg << 5 | qb;
                r = widen(qr, 5), g = widen(qg, 5), b = widen(qb, 5), alpha = qa ? 255 : 0;
                break;
            }
            case GR_TEXFMT_ARGB_4444: {
                const int qa = nt.code[4][a], qr = nt.code[4][p[0]], qg = nt.code[4][p[1]],
                          qb = nt.code[4][p[2]];
                code = qa << 12 | qr << 8 | qg << 4 | qb;
                r = widen(qr, 4), g = widen(qg, 4), b = widen(qb, 4), alpha = widen(qa, 4);
                break;
            }
            }
            // The 16-bit formats whose low byte is an 8-bit texel carry alpha 8 above it.
            const bool alpha_byte =
                format == GR_TEXFMT_ARGB_8332 || format == GR_TEXFMT_AYIQ_8422 ||
                format == GR_TEXFMT_ALPHA_INTENSITY_88 || format == GR_TEXFMT_AP_88;
            if (alpha_byte) {
                code |= a << 8;
                alpha = a;
            }
            if (fi->bytes == 2)
                put16(&e.texels, code);
            else
                e.texels.push_back((uint8_t)code);
            dec.rgba[k] = (uint8_t)r;
            dec.rgba[k + 1] = (uint8_t)g;
            dec.rgba[k + 2] = (uint8_t)b;
            dec.rgba[k + 3] = (uint8_t)alpha;
        }
        e.decoded.push_back(std::move(dec));
    }
    return e;
}

std::string enc_header(const FormatInfo &format, const MipShape &shape)
{
    return std::string("3df v1.1\n") + format.name +
           "\nlod range: " + std::to_string(shape.small_size) + " " +
           std::to_string(shape.large_size) + "\naspect ratio: " + std::to_string(shape.aspect_w) +
           " " + std::to_string(shape.aspect_h) + "\n";
}

bool enc_write_3df(const char *path, const MipShape &shape, const Encoded &enc)
{
    const FormatInfo *fi = enc_format_info(enc.format);
    if (!fi)
        return false;
    const std::string header = enc_header(*fi, shape);
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return false;
    // An empty vector's data() may be null, which fwrite must not be given.
    std::string bytes = header;
    bytes.append(enc.table.begin(), enc.table.end());
    bytes.append(enc.texels.begin(), enc.texels.end());
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}
