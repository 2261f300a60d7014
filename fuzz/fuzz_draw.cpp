// fuzz_draw.cpp: the library's calls in any order with any arguments.
// Reads the fuzzer's input as a program of calls (one opcode byte, then its arguments);
// values are drawn from the edges that break rasterizers: NaN, infinities, -0, huge and
// tiny magnitudes, handles never given, states out of range. Ends every input with a
// shutdown so that each one runs from a fresh library. Every input runs twice, drawn on
// the caller's thread and by two workers, and the frames shown (dumped as PNG files into
// two scratch folders) must be byte for byte the same.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "gfx/gfx.h"

namespace
{

struct Input {
    const uint8_t *p;
    const uint8_t *end;
};

uint8_t take_u8(Input *in)
{
    return in->p < in->end ? *in->p++ : 0;
}

uint32_t take_u32(Input *in)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v = v << 8 | take_u8(in);
    return v;
}

int32_t take_i32(Input *in)
{
    const uint8_t b = take_u8(in);
    if (b < 0xf0)
        return (int32_t)(b % 20) - 3; // around the valid enumerations, both sides
    switch (b & 7) {
    case 0:
        return INT32_MIN;
    case 1:
        return INT32_MAX;
    case 2:
        return 256;
    case 3:
        return 1 << 30;
    case 4:
        return 65535;
    default:
        return (int32_t)take_u32(in);
    }
}

float take_float(Input *in)
{
    const uint8_t b = take_u8(in);
    switch (b & 15) {
    case 0:
        return 0.0f;
    case 1:
        return -0.0f;
    case 2:
        return NAN;
    case 3:
        return INFINITY;
    case 4:
        return -INFINITY;
    case 5:
        return (b & 16) ? 1e30f : -1e30f;
    case 6:
        return (b & 16) ? FLT_MAX : -FLT_MAX;
    case 7:
        return (b & 16) ? FLT_TRUE_MIN : FLT_MIN;
    case 8:
        return (b & 16) ? 1e-30f : 0.5f;
    case 9: {
        const uint32_t bits = take_u32(in);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    case 10:
    case 11:
    case 12: // a screen coordinate, on and around the screen, with sub-pixel steps
        return (float)(take_u8(in) | take_u8(in) << 8) / 64.0f - 200.0f;
    case 13: // colour and depth scales
        return (float)take_u8(in) * ((b & 16) ? 1.0f : 300.0f);
    default: // integers and half-integers near the screen edges
        return (float)((int)take_u8(in) * ((b & 16) ? 5 : 1)) * 0.5f - 16.0f;
    }
}

GrVertex take_vertex(Input *in)
{
    GrVertex v = {};
    v.x = take_float(in);
    v.y = take_float(in);
    v.r = take_float(in);
    v.g = take_float(in);
    v.b = take_float(in);
    v.ooz = take_float(in);
    v.oow = take_float(in);
    v.tmuvtx[0].sow = take_float(in);
    v.tmuvtx[0].tow = take_float(in);
    v.tmuvtx[0].oow = take_float(in);
    v.z = take_float(in); // never read by the library
    return v;
}

constexpr int HANDLES = 8;

// A clear touches every pixel and a burst thousands of triangles; a few per input find
// what more would, and keep each input to milliseconds.
constexpr int MAX_CLEARS = 3;
constexpr int MAX_BURSTS = 2;
constexpr int MAX_SWAPS = 4; // each one writes a PNG file in both passes

struct Run {
    bool started = false;
    int clears = 0;
    int bursts = 0;
    int swaps = 0;
    const char *threads = "0"; // this pass's worker count, where the input asks for one
    GrMipMapId_t handle[HANDLES] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int next_handle = 0;
};

GrMipMapId_t take_handle(Input *in, const Run &run)
{
    const uint8_t b = take_u8(in);
    if (b < 0x80)
        return run.handle[b % HANDLES];
    switch (b & 7) {
    case 0:
        return -1;
    case 1:
        return 0;
    case 2:
        return INT32_MAX;
    case 3: // another board's or another run's handle of the same slot
        return run.handle[b % HANDLES] ^ (1 << (10 + (b >> 3) % 12));
    default:
        return (GrMipMapId_t)take_u32(in);
    }
}

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_draw: %s\n", what);
    std::abort();
}

// The variables grGlideInit reads; only values that keep the run fast and quiet
// (no display, no waiting, no dump), with both good and bad spellings.
void set_env(uint8_t e, uint8_t f, const Run &run)
{
    static const char *const boards[] = {nullptr, "0", "1", "2", "8", "9", "-1", "x"};
    static const char *const texmem[] = {nullptr, "1",       "100", "4096",
                                         "65536", "2097152", "0",   "1e3"};
    static const char *const threads[] = {"0", "1", "2", "zz"};
    const char *b = boards[e & 7], *t = texmem[(e >> 3) & 7];
    b ? setenv("ACCEL_BOARDS", b, 1) : unsetenv("ACCEL_BOARDS");
    t ? setenv("ACCEL_TEXMEM", t, 1) : unsetenv("ACCEL_TEXMEM");
    const char *t_asked = threads[(e >> 6) & 3];
    setenv("ACCEL_THREADS", t_asked[0] >= '0' && t_asked[0] <= '9' ? run.threads : t_asked, 1);
    setenv("ACCEL_DISPLAY", f == 0xff ? "bogus" : "none", 1);
}

const int32_t FORMATS[] = {GR_TEXFMT_RGB_332,
                           GR_TEXFMT_YIQ_422,
                           GR_TEXFMT_ALPHA_8,
                           GR_TEXFMT_INTENSITY_8,
                           GR_TEXFMT_ALPHA_INTENSITY_44,
                           GR_TEXFMT_P_8,
                           GR_TEXFMT_ARGB_8332,
                           GR_TEXFMT_AYIQ_8422,
                           GR_TEXFMT_RGB_565,
                           GR_TEXFMT_ARGB_1555,
                           GR_TEXFMT_ARGB_4444,
                           GR_TEXFMT_ALPHA_INTENSITY_88,
                           GR_TEXFMT_AP_88};

GrMipMapId_t allocate(Input *in)
{
    const uint8_t how = take_u8(in);
    if (how & 1) { // anything at all
        int32_t a[14];
        for (int32_t &v : a)
            v = take_i32(in);
        return guTexAllocateMemory(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                   a[10], a[11], a[12], take_float(in), a[13]);
    }
    // A shape the program could ask for, so that the texture really exists.
    const int32_t format = FORMATS[take_u8(in) % 13];
    const int32_t large = take_u8(in) % 9;
    const int32_t small = large + take_u8(in) % (9 - large);
    const int32_t aspect = take_u8(in) % 7;
    const int size = 256 >> large;
    const int w = aspect <= GR_ASPECT_1x1 ? size : std::max(1, size >> (aspect - 3));
    const int h = aspect >= GR_ASPECT_1x1 ? size : std::max(1, size >> (3 - aspect));
    return guTexAllocateMemory(GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, w, h, format, GR_MIPMAP_NEAREST,
                               small, large, aspect, GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP,
                               GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
}

void keep_handle(Run *run, GrMipMapId_t h)
{
    if (h < -1)
        fail("guTexAllocateMemory returned a negative handle other than -1");
    if (h == -1)
        return;
    run->handle[run->next_handle] = h;
    run->next_handle = (run->next_handle + 1) % HANDLES;
}

// Big enough for every level of the largest texture in its widest format.
uint8_t texels[256 * 256 * 2 * 2];
GuTexTable table;

void step(Input *in, Run *run)
{
    switch (take_u8(in) % 18) {
    case 0:
        if (!run->started) {
            const uint8_t e = take_u8(in);
            set_env(e, take_u8(in), *run);
        }
        grGlideInit();
        run->started = true;
        break;
    case 1: {
        GrHwConfiguration hw;
        std::memset(&hw, 0x5a, sizeof hw);
        const bool null = take_u8(in) & 1;
        if (grSstQueryHardware(null ? nullptr : &hw) && !null &&
            (hw.num_sst < 0 || hw.num_sst > GR_MAX_BOARDS))
            fail("grSstQueryHardware reported an impossible board count");
        break;
    }
    case 2:
        grSstSelect(take_i32(in));
        break;
    case 3:
        if (take_u8(in) & 1) {
            grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                      GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2);
        } else {
            int32_t a[6];
            for (int32_t &v : a)
                v = take_i32(in);
            grSstOpen(a[0], a[1], a[2], a[3], a[4], a[5]);
        }
        break;
    case 4:
        guColorCombineFunction(take_i32(in));
        break;
    case 5: {
        const int32_t tmu = take_i32(in);
        grTexCombineFunction(tmu, take_i32(in));
        break;
    }
    case 6:
        grDepthBufferMode(take_i32(in));
        break;
    case 7:
        grDepthBufferFunction(take_i32(in));
        break;
    case 8:
        grDepthMask(take_i32(in));
        break;
    case 9: {
        const uint32_t color = take_u32(in);
        const uint8_t alpha = take_u8(in);
        const uint16_t depth = (uint16_t)(take_u8(in) << 8 | take_u8(in));
        if (run->clears++ < MAX_CLEARS)
            grBufferClear(color, alpha, depth);
        break;
    }
    case 10: {
        const int32_t interval = take_i32(in);
        if (run->swaps++ < MAX_SWAPS)
            grBufferSwap(interval);
        break;
    }
    case 11:
        keep_handle(run, allocate(in));
        break;
    case 12: {
        const GrMipMapId_t h = take_handle(in, *run);
        const uint8_t how = take_u8(in);
        std::memset(texels, how, sizeof texels);
        std::memset(&table, how ^ 0x5a, sizeof table);
        guTexDownloadMipMap(h, (how & 1) ? nullptr : texels, (how & 2) ? nullptr : &table);
        break;
    }
    case 13:
        guTexSource(take_handle(in, *run));
        break;
    case 14: {
        const GrVertex v[3] = {take_vertex(in), take_vertex(in), take_vertex(in)};
        const uint8_t nulls = take_u8(in);
        guDrawTriangleWithClip((nulls & 0x31) == 0x01 ? nullptr : &v[0],
                               (nulls & 0x32) == 0x02 ? nullptr : &v[1],
                               (nulls & 0x34) == 0x04 ? nullptr : &v[2]);
        break;
    }
    case 15:
        grGlideShutdown();
        run->started = false;
        break;
    case 16: { // texture memory and its handle table filled up
        const int count = 1 + take_u8(in) * 5;
        const Input shape = *in; // the same arguments every time
        GrMipMapId_t h = 0;
        for (int i = 0; i < count && h != -1; i++) {
            *in = shape;
            keep_handle(run, h = allocate(in));
        }
        break;
    }
    case 17: { // many small triangles in one frame: the queues fill and flush
        GrVertex v[3] = {take_vertex(in), take_vertex(in), take_vertex(in)};
        for (int k = 1; k < 3; k++) {
            v[k].x = v[0].x + (float)(take_u8(in) % 32) - 16.0f;
            v[k].y = v[0].y + (float)(take_u8(in) % 32) - 16.0f;
        }
        const int count = run->bursts++ < MAX_BURSTS ? take_u8(in) * 16 : 0;
        const float dx = (float)(take_u8(in) % 64) * 0.37f, dy = (float)(take_u8(in) % 64) * 0.29f;
        for (int i = 0; i < count; i++) {
            for (GrVertex &c : v) {
                c.x = std::fmod(c.x + dx, 700.0f);
                c.y = std::fmod(c.y + dy, 540.0f);
            }
            guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
        }
        break;
    }
    }
}

} // namespace

namespace
{

char dump_dir[2][64];

std::vector<std::string> names_in(const char *dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir)) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<char> read_whole(const std::string &path)
{
    std::vector<char> bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}

void empty_dir(const char *dir)
{
    for (const std::string &name : names_in(dir))
        unlink((std::string(dir) + "/" + name).c_str());
}

void remove_dump_dirs()
{
    for (const char *dir : dump_dir) {
        empty_dir(dir);
        rmdir(dir);
    }
}

void run_pass(const uint8_t *data, size_t size, int pass)
{
    empty_dir(dump_dir[pass]);
    setenv("ACCEL_DUMP", dump_dir[pass], 1);
    Input in = {data, data + size};
    Run run;
    run.threads = pass == 0 ? "0" : "2";
    while (in.p < in.end)
        step(&in, &run);
    grGlideShutdown();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ACCEL_VSYNC", "0", 1);
    unsetenv("ACCEL_DEBUG");
    const char *tmp = std::getenv("TMPDIR");
    for (char *dir : dump_dir) {
        std::snprintf(dir, sizeof dump_dir[0], "%s/fuzz-draw-XXXXXX",
                      tmp && *tmp && std::strlen(tmp) < 40 ? tmp : "/tmp");
        if (!mkdtemp(dir))
            fail("cannot make a scratch folder for the frames");
    }
    std::atexit(remove_dump_dirs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    run_pass(data, size, 0);
    run_pass(data, size, 1);
    const std::vector<std::string> a = names_in(dump_dir[0]), b = names_in(dump_dir[1]);
    if (a != b)
        fail("a different set of frames was shown with worker threads");
    for (const std::string &name : a)
        if (read_whole(std::string(dump_dir[0]) + "/" + name) !=
            read_whole(std::string(dump_dir[1]) + "/" + name)) {
            std::fprintf(stderr, "fuzz_draw: %s differs\n", name.c_str());
            fail("a frame drawn by worker threads differs from the caller's thread's");
        }
    return 0;
}
