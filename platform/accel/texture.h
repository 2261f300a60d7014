// texture.h: a board's texture memory and the decoded textures that the sampler reads.
// api.cpp validates handles through tex_lookup; setup and sample read Texture only.
// file3df.cpp and texture.cpp share the mipmap shape rules (tex_shape).
#pragma once

#include <cstdint>

#include "gfx/gfx.h"

constexpr int TEX_MAX_LEVELS = 9; // 256 down to 1
constexpr int TEX_MAX_TEXTURES = 1024;

// One mipmap level, decoded to RGBA8 (bytes R, G, B, A), row 0 first.
struct MipLevel {
    const uint32_t *texels = nullptr;
    int width_log2 = 0;
    int height_log2 = 0;
};

struct Texture {
    bool live = false;   // allocated by guTexAllocateMemory on this board
    int32_t format = 0;  // GR_TEXFMT_*
    int level_count = 0; // levels held, largest first
    MipLevel level[TEX_MAX_LEVELS];
    float texels_per_unit = 1.0f; // level-0 texels per texture-space unit: longer side / 256
    uint32_t *rgba = nullptr;     // decoded storage of every level, owned
};

// The levels of a mipmap as the file and the texture memory lay them out.
struct TexShape {
    int width = 0; // largest level, texels
    int height = 0;
    int level_count = 0;      // large_lod .. small_lod
    uint32_t bytes = 0;       // every level, in the file's own format
    uint32_t texel_count = 0; // every level
};

// Bytes of one texel of a GR_TEXFMT_* format; 0 for an unknown format.
int tex_texel_bytes(int32_t format);
// Bytes of the table that a format's file carries before its texels (palette 1024,
// compression table 80, else 0).
int tex_table_bytes(int32_t format);
// The shape of a mipmap; false when a value is out of range or small_lod names a
// larger level than large_lod.
bool tex_shape(int32_t format, int32_t small_lod, int32_t large_lod, int32_t aspect,
               TexShape *shape);

struct TexMemory {
    uint32_t capacity = 0;   // bytes
    uint32_t used = 0;       // bytes
    int32_t handle_base = 0; // handles of this board are handle_base + slot
    int count = 0;           // slots used
    Texture tex[TEX_MAX_TEXTURES];
};

// Sets up empty texture memory of capacity bytes whose handles start at handle_base.
void tex_memory_init(TexMemory *mem, uint32_t capacity, int32_t handle_base);
// Frees every texture's storage; every handle of this memory becomes unknown.
void tex_memory_release(TexMemory *mem);

// guTexAllocateMemory on this memory: a handle, or -1.
int32_t tex_allocate(TexMemory *mem, int32_t tmu, int32_t odd_even_mask, int32_t width,
                     int32_t height, int32_t format, int32_t mipmap_mode, int32_t small_lod,
                     int32_t large_lod, int32_t aspect_ratio, int32_t s_clamp, int32_t t_clamp,
                     int32_t min_filter, int32_t mag_filter, float lod_bias, int32_t trilinear);
// guTexDownloadMipMap: decodes src (laid out as gu3dfLoad leaves it) into the texture.
void tex_download(TexMemory *mem, int32_t handle, const void *src, const GuTexTable *table);
// The texture behind a handle of this memory, or null for a handle it never gave.
const Texture *tex_lookup(const TexMemory &mem, int32_t handle);

// The 3DF reader (file3df.cpp): gu3dfGetInfo and gu3dfLoad.
int32_t tdf_get_info(const char *filename, Gu3dfInfo *info);
int32_t tdf_load(const char *filename, Gu3dfInfo *info);
