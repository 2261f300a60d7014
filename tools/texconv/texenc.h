// texenc.h: the texture tool's encoder, shared by texconv and the texture tests.
// Reads RGBA8 images; writes mipmap chains (box-filtered), palettes and compression
// tables it computes, and 3DF files laid out as texture-format.md describes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An RGBA8 image: bytes R, G, B, A per texel, row 0 first (the top row of a picture).
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba; // width * height * 4
};

struct FormatInfo {
    const char *name; // as the file's second header line spells it
    int32_t format;   // GR_TEXFMT_*
    int bytes;        // 1 or 2 per texel
};

// Every format, in GR_TEXFMT_* order.
const std::vector<FormatInfo> &enc_formats();
// The format called `name`, or null.
const FormatInfo *enc_format_by_name(const std::string &name);
const FormatInfo *enc_format_info(int32_t format);

// What to make: the level sizes (longer side, powers of two 1..256, small <= large) and
// the aspect (width to height, one of 8:1 .. 1:8).
struct MipShape {
    int small_size = 1;
    int large_size = 256;
    int aspect_w = 1;
    int aspect_h = 1;
};

// Empty when the shape is valid, else why not (one line, no newline).
std::string enc_check_shape(const MipShape &shape);
int enc_level_count(const MipShape &shape);
// Width and height of level `level` (0 = largest).
void enc_level_size(const MipShape &shape, int level, int *width, int *height);

// Every level of `shape` from src, each a box filter of src over its texel's footprint
// (area-weighted, so any source size works; enlarging repeats source texels). With
// `linear`, colour is averaged in linear light (sRGB decoded, then encoded again).
std::vector<Image> enc_mip_chain(const Image &src, const MipShape &shape, bool linear);

// A texture in one format: the file's table and texel bytes, and what every level
// decodes to (the colours the encoder chose, RGBA8).
struct Encoded {
    int32_t format = 0;
    std::vector<uint8_t> table;  // as stored in the file (big-endian), may be empty
    std::vector<uint8_t> texels; // every level, largest first, as stored in the file
    std::vector<Image> decoded;
};

// Palette formats get a median-cut palette over every level's colours (exact when there
// are at most 256 distinct colours); yiq formats a table fitted to the levels' Y, I and Q
// (16 and 4 and 4 levels by 1-D k-means). Every texel takes the nearest code.
Encoded enc_encode(const std::vector<Image> &levels, int32_t format);

// The file's four header lines.
std::string enc_header(const FormatInfo &format, const MipShape &shape);
// Writes the whole file; false (errno set) when it cannot.
bool enc_write_3df(const char *path, const MipShape &shape, const Encoded &enc);

// The project's own procedural patterns, tiling seamlessly, width x height.
const std::vector<std::string> &enc_pattern_names();
// False for an unknown name.
bool enc_pattern(const std::string &name, int width, int height, Image *out);
