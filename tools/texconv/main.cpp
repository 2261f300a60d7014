// main.cpp: texconv, the texture tool: an image file or a procedural pattern in, a 3DF
// texture file out (every level box-filtered, any of the 13 formats), and on request a
// PNG preview of the levels as they will decode.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "texenc.h"

namespace
{

constexpr int PREVIEW_GAP = 2; // texels between levels in the preview

struct Args {
    std::string input;
    std::string pattern;
    std::string output;
    std::string preview;
    const FormatInfo *format = nullptr;
    MipShape shape;
    bool linear = false;
};

void usage(FILE *out)
{
    std::fprintf(out, "usage: texconv [options] (INPUT | --pattern NAME) -o OUTPUT.3DF\n"
                      "Makes a 3DF texture file from an image (PNG, JPEG, BMP, TGA, GIF, PSD,\n"
                      "HDR, PIC, PNM) or from one of the project's procedural patterns.\n"
                      "  -o, --output FILE     the 3DF file to write\n"
                      "  -f, --format NAME     texel format (default rgb565):");
    for (const FormatInfo &f : enc_formats())
        std::fprintf(out, " %s", f.name);
    std::fprintf(out, "\n"
                      "  --lod SMALL LARGE     level sizes, powers of two 1..256 (default 1 256)\n"
                      "  --aspect W H          8 1, 4 1, 2 1, 1 1, 1 2, 1 4 or 1 8 (default 1 1);\n"
                      "                        the image is stretched to it\n"
                      "  --pattern NAME        draw a pattern instead of reading an image:");
    for (const std::string &p : enc_pattern_names())
        std::fprintf(out, " %s", p.c_str());
    std::fprintf(out,
                 "\n"
                 "  --linear              average colours in linear light (default: average\n"
                 "                        the stored sRGB values as they are)\n"
                 "  --preview FILE.png    also write every level as it decodes, side by side\n"
                 "  -h, --help            this text\n"
                 "Every level is a box filter of the image over the level's texel. p8 and ap88\n"
                 "get a median-cut palette (exact for 256 colours or fewer); yiq and ayiq8422 a\n"
                 "table of 16 Y, 4 I and 4 Q values fitted by k-means. Output is deterministic.\n");
}

[[noreturn]] void fail(int status, const char *fmt, const char *what)
{
    std::fprintf(stderr, "texconv: ");
    std::fprintf(stderr, fmt, what);
    std::fprintf(stderr, "\n");
    std::exit(status);
}

int parse_int(const char *s, const char *option)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (!*s || *end || errno || v < -1000000 || v > 1000000)
        fail(2, "%s takes whole numbers", option);
    return (int)v;
}

Args parse_args(int argc, char **argv)
{
    Args a;
    a.format = enc_format_by_name("rgb565");
    for (int i = 1; i < argc; i++) {
        const std::string opt = argv[i];
        auto value = [&](int n) {
            if (i + n >= argc)
                fail(2, "%s needs a value", argv[i]);
            return argv[i + 1];
        };
        if (opt == "-h" || opt == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (opt == "-o" || opt == "--output") {
            a.output = value(1);
            i++;
        } else if (opt == "-f" || opt == "--format") {
            a.format = enc_format_by_name(value(1));
            if (!a.format)
                fail(2, "unknown format '%s' (see --help)", argv[i + 1]);
            i++;
        } else if (opt == "--lod") {
            value(2);
            a.shape.small_size = parse_int(argv[i + 1], "--lod");
            a.shape.large_size = parse_int(argv[i + 2], "--lod");
            i += 2;
        } else if (opt == "--aspect") {
            value(2);
            a.shape.aspect_w = parse_int(argv[i + 1], "--aspect");
            a.shape.aspect_h = parse_int(argv[i + 2], "--aspect");
            i += 2;
        } else if (opt == "--pattern") {
            a.pattern = value(1);
            i++;
        } else if (opt == "--preview") {
            a.preview = value(1);
            i++;
        } else if (opt == "--linear") {
            a.linear = true;
        } else if (opt.size() > 1 && opt[0] == '-') {
            fail(2, "unknown option '%s' (see --help)", argv[i]);
        } else if (a.input.empty()) {
            a.input = opt;
        } else {
            fail(2, "more than one input image ('%s')", argv[i]);
        }
    }
    if (a.output.empty())
        fail(2, "%s", "no output file: give -o FILE.3DF");
    if (a.input.empty() == a.pattern.empty())
        fail(2, "%s", "give either an input image or --pattern NAME");
    const std::string why = enc_check_shape(a.shape);
    if (!why.empty())
        fail(2, "%s", why.c_str());
    return a;
}

Image read_image(const std::string &path)
{
    int w = 0, h = 0, n = 0;
    unsigned char *pixels = stbi_load(path.c_str(), &w, &h, &n, 4);
    if (!pixels) {
        const std::string msg = "cannot read image '" + path + "': " + stbi_failure_reason();
        fail(1, "%s", msg.c_str());
    }
    Image im;
    im.width = w;
    im.height = h;
    im.rgba.assign(pixels, pixels + (size_t)w * h * 4);
    stbi_image_free(pixels);
    return im;
}

// The decoded levels left to right, top-aligned, on a transparent ground.
bool write_preview(const std::string &path, const std::vector<Image> &levels)
{
    int width = 0, height = 0;
    for (const Image &im : levels) {
        width += im.width + PREVIEW_GAP;
        height = std::max(height, im.height);
    }
    std::vector<uint8_t> out((size_t)width * height * 4, 0);
    int x0 = 0;
    for (const Image &im : levels) {
        for (int y = 0; y < im.height; y++)
            std::memcpy(&out[((size_t)y * width + x0) * 4], &im.rgba[(size_t)y * im.width * 4],
                        (size_t)im.width * 4);
        x0 += im.width + PREVIEW_GAP;
    }
    return stbi_write_png(path.c_str(), width, height, 4, out.data(), width * 4) != 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Args a = parse_args(argc, argv);
    Image src;
    if (!a.pattern.empty()) {
        int w, h;
        enc_level_size(a.shape, 0, &w, &h);
        if (!enc_pattern(a.pattern, w, h, &src))
            fail(2, "unknown pattern '%s' (see --help)", a.pattern.c_str());
    } else {
        src = read_image(a.input);
    }
    const std::vector<Image> levels = enc_mip_chain(src, a.shape, a.linear);
    const Encoded enc = enc_encode(levels, a.format->format);
    if (!enc_write_3df(a.output.c_str(), a.shape, enc)) {
        const std::string msg = "cannot write '" + a.output + "': " + std::strerror(errno);
        fail(1, "%s", msg.c_str());
    }
    if (!a.preview.empty() && !write_preview(a.preview, enc.decoded))
        fail(1, "cannot write preview '%s'", a.preview.c_str());
    return 0;
}
