/* gfx.h: the accelerator library's calls, records and constants.
 *
 * This is the whole contract between the demo and whatever draws its triangles. The
 * program includes only this header and links to a shared library (libaccel.so, or any
 * other implementation of the same calls) that exports every call below with C linkage.
 *
 * Conventions, once for all calls:
 *  - Enumerated values and board indices are 32-bit signed integers; booleans returned
 *    by the library are nonzero for success.
 *  - Calls act on the current board, the one chosen by the last grSstSelect.
 *  - The library never crashes on what a caller hands it. A call it cannot carry out
 *    (made out of order, with an unknown value, with a handle it never gave) does
 *    nothing; a call that has a result reports the failure in it (0, or -1 for a
 *    texture handle).
 *  - Screen coordinates are pixels with pixel centres at half-integers; with origin
 *    GR_ORIGIN_LOWER_LEFT, y grows upward from the bottom row.
 *  - Texture space: 256 units of s or t span the longer side of a texture once; the
 *    texture wraps outside that range.
 */
#ifndef GFX_GFX_H
#define GFX_GFX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- records ------------------------------------------------------------------------ */

/* Texture coordinates of one vertex for one texture unit: s/w, t/w and 1/w. */
typedef struct {
    float sow; /* s times oow, texture-space units */
    float tow; /* t times oow */
    float oow; /* 1/w for this unit */
} GrTmuVertex;

/* One triangle corner as the caller hands it over: 15 floats. */
typedef struct {
    float x, y;            /* screen pixels, any finite value (the library clips) */
    float z;               /* unused by this library */
    float r, g, b;         /* intensities on a 0..255 scale, unclamped (clamped per pixel) */
    float ooz;             /* depth value, 0..65535 for the usual range; compared per pixel */
    float a;               /* alpha, unused by this library */
    float oow;             /* 1/w */
    GrTmuVertex tmuvtx[2]; /* texture units 0 and 1; only unit 0 is sampled */
} GrVertex;

/* Board description filled by grSstQueryHardware. */
typedef struct {
    int32_t type;      /* GR_SSTTYPE_SOFTWARE for this library */
    int32_t fb_ram;    /* framebuffer memory, MiB */
    int32_t tmu_count; /* texture units */
    int32_t tex_ram;   /* texture memory per unit, bytes */
} GrSstConfig;

#define GR_MAX_BOARDS 8

typedef struct {
    int32_t num_sst;                /* how many boards there are; the caller reads only this */
    GrSstConfig sst[GR_MAX_BOARDS]; /* the first num_sst entries describe the boards */
} GrHwConfiguration;

/* The 3DF header values, as gu3dfGetInfo reads them. */
typedef struct {
    uint32_t width, height; /* largest level, texels */
    int32_t small_lod;      /* GR_LOD_*: smallest level of the file */
    int32_t large_lod;      /* GR_LOD_*: largest level of the file */
    int32_t aspect_ratio;   /* GR_ASPECT_* */
    int32_t format;         /* GR_TEXFMT_* */
} Gu3dfHeader;

/* The compression table of the yiq formats: values exactly as stored in the file. */
typedef struct {
    int16_t y[16];   /* 0..255 */
    int16_t i[4][3]; /* red, green, blue; -256..255 */
    int16_t q[4][3]; /* red, green, blue; -256..255 */
} GuNccTable;

/* The table field of a 3DF texture: a palette (p8, ap88), a compression table (yiq,
 * ayiq8422), or nothing. Always 1024 bytes. */
typedef union {
    uint32_t palette[256]; /* 0xAARRGGBB; the alpha byte is ignored */
    GuNccTable ncc;
    uint8_t bytes[1024];
} GuTexTable;

typedef struct {
    Gu3dfHeader header;
    GuTexTable table;
    void *data;            /* texel buffer of mem_required bytes, supplied by the caller */
    uint32_t mem_required; /* bytes of all levels' texels in the file's own format */
} Gu3dfInfo;

/* A texture handle; -1 means none. */
typedef int32_t GrMipMapId_t;
#define GR_NULL_MIPMAP_HANDLE (-1)

/* ---- constants ---------------------------------------------------------------------- */

#define GR_SSTTYPE_SOFTWARE 0

#define GR_RESOLUTION_640x480 7

#define GR_REFRESH_60Hz 0
#define GR_REFRESH_70Hz 1
#define GR_REFRESH_72Hz 2
#define GR_REFRESH_75Hz 3
#define GR_REFRESH_80Hz 4
#define GR_REFRESH_90Hz 5
#define GR_REFRESH_100Hz 6
#define GR_REFRESH_85Hz 7
#define GR_REFRESH_120Hz 8

#define GR_COLORFORMAT_ARGB 0
#define GR_COLORFORMAT_ABGR 1

#define GR_ORIGIN_UPPER_LEFT 0
#define GR_ORIGIN_LOWER_LEFT 1

#define GR_SMOOTHING_DISABLE 0
#define GR_SMOOTHING_ENABLE 1

#define GR_COLORCOMBINE_TEXTURE_TIMES_ITRGB 6

#define GR_TMU0 0
#define GR_TMU1 1
#define GR_TEXTURECOMBINE_DECAL 1

#define GR_DEPTHBUFFER_DISABLE 0
#define GR_DEPTHBUFFER_ZBUFFER 1

#define GR_CMP_NEVER 0
#define GR_CMP_LESS 1
#define GR_CMP_EQUAL 2
#define GR_CMP_LEQUAL 3
#define GR_CMP_GREATER 4
#define GR_CMP_NOTEQUAL 5
#define GR_CMP_GEQUAL 6
#define GR_CMP_ALWAYS 7

/* Level sizes: GR_LOD_256 is the largest. */
#define GR_LOD_256 0
#define GR_LOD_128 1
#define GR_LOD_64 2
#define GR_LOD_32 3
#define GR_LOD_16 4
#define GR_LOD_8 5
#define GR_LOD_4 6
#define GR_LOD_2 7
#define GR_LOD_1 8

#define GR_ASPECT_8x1 0
#define GR_ASPECT_4x1 1
#define GR_ASPECT_2x1 2
#define GR_ASPECT_1x1 3
#define GR_ASPECT_1x2 4
#define GR_ASPECT_1x4 5
#define GR_ASPECT_1x8 6

#define GR_TEXFMT_RGB_332 0
#define GR_TEXFMT_YIQ_422 1
#define GR_TEXFMT_ALPHA_8 2
#define GR_TEXFMT_INTENSITY_8 3
#define GR_TEXFMT_ALPHA_INTENSITY_44 4
#define GR_TEXFMT_P_8 5
#define GR_TEXFMT_ARGB_8332 8
#define GR_TEXFMT_AYIQ_8422 9
#define GR_TEXFMT_RGB_565 10
#define GR_TEXFMT_ARGB_1555 11
#define GR_TEXFMT_ARGB_4444 12
#define GR_TEXFMT_ALPHA_INTENSITY_88 13
#define GR_TEXFMT_AP_88 14

#define GR_MIPMAPLEVELMASK_EVEN 1
#define GR_MIPMAPLEVELMASK_ODD 2
#define GR_MIPMAPLEVELMASK_BOTH 3

#define GR_MIPMAP_DISABLE 0
#define GR_MIPMAP_NEAREST 1
#define GR_MIPMAP_NEAREST_DITHER 2

#define GR_TEXTURECLAMP_WRAP 0
#define GR_TEXTURECLAMP_CLAMP 1

#define GR_TEXTUREFILTER_POINT_SAMPLED 0
#define GR_TEXTUREFILTER_BILINEAR 1

/* ---- calls -------------------------------------------------------------------------- */

/* Starts the library. Must come first; calling it again while started does nothing. */
void grGlideInit(void);

/* Fills hwconfig with the boards there are. Returns nonzero on success, 0 when the
 * boards cannot be counted (hwconfig is then left as it was) or hwconfig is null. */
int32_t grSstQueryHardware(GrHwConfiguration *hwconfig);

/* Makes board which_sst current for every later call. An index with no board is
 * ignored. */
void grSstSelect(int32_t which_sst);

/* Opens the current board: its buffers, its texture memory, and the display its frames
 * go to. Only GR_RESOLUTION_640x480 is supported. Returns nonzero on success, 0 when a
 * value is not supported or the display cannot be had. */
int32_t grSstOpen(int32_t resolution, int32_t refresh, int32_t color_format, int32_t origin,
                  int32_t smoothing, int32_t num_buffers);

/* Render state of the current board; a value the library does not support is ignored.
 * GR_COLORCOMBINE_TEXTURE_TIMES_ITRGB: pixel = texel times iterated colour / 255. */
void guColorCombineFunction(int32_t function);
/* GR_TEXTURECOMBINE_DECAL on GR_TMU0: the unit outputs its own texel. */
void grTexCombineFunction(int32_t tmu, int32_t function);
/* GR_DEPTHBUFFER_ZBUFFER: depth-test and store the iterated ooz; DISABLE: no depth. */
void grDepthBufferMode(int32_t mode);
/* GR_CMP_*: a pixel passes when its ooz compares so against the stored depth. */
void grDepthBufferFunction(int32_t function);
/* Nonzero: pixels that pass write their depth. */
void grDepthMask(int32_t enable);

/* Clears the current board's back buffer to color (0xAARRGGBB; alpha from the alpha
 * argument) and its depth buffer to depth. */
void grBufferClear(uint32_t color, uint8_t alpha, uint16_t depth);

/* Shows the back buffer. With swap_interval >= 1 it waits for that many ticks of the
 * board's refresh clock first (unless ACCEL_VSYNC=0). */
void grBufferSwap(int32_t swap_interval);

/* Reads the header of a 3DF file into info->header and info->mem_required. Returns
 * nonzero on success, 0 when the file cannot be opened or its header is invalid. */
int32_t gu3dfGetInfo(const char *filename, Gu3dfInfo *info);

/* Reads the table into info->table and every level's texels into info->data, which
 * must hold info->mem_required bytes as gu3dfGetInfo set it. Returns 0 when the file is
 * invalid, shorter than it must be, or no longer matches the header. */
int32_t gu3dfLoad(const char *filename, Gu3dfInfo *info);

/* Reserves texture memory on the current board for a mipmap of the given shape and
 * sets its sampling mode. Returns the texture handle, or -1 when a value is not
 * supported or the levels do not fit. */
GrMipMapId_t guTexAllocateMemory(int32_t tmu, int32_t odd_even_mask, int32_t width, int32_t height,
                                 int32_t format, int32_t mipmap_mode, int32_t small_lod,
                                 int32_t large_lod, int32_t aspect_ratio, int32_t s_clamp,
                                 int32_t t_clamp, int32_t min_filter, int32_t mag_filter,
                                 float lod_bias, int32_t trilinear);

/* Copies every level's texels (laid out as gu3dfLoad leaves them) into the texture,
 * decoding through table for the formats that have one. The caller may free src
 * afterwards. An unknown handle or a null src is ignored. */
void guTexDownloadMipMap(GrMipMapId_t mmid, const void *src, const GuTexTable *table);

/* Selects the texture for later triangles on the current board; an unknown handle is
 * ignored. */
void guTexSource(GrMipMapId_t mmid);

/* Draws one triangle, clipped to the screen, with the current render state. Either
 * winding is drawn; a triangle with a non-finite coordinate or no area draws nothing. */
void guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b, const GrVertex *c);

/* Closes every open board and releases everything. Calling it again, or calling
 * anything but grGlideInit after it, does nothing. */
void grGlideShutdown(void);

#ifdef __cplusplus
}

static_assert(sizeof(GrVertex) == 15 * sizeof(float), "GrVertex is 15 floats");
static_assert(sizeof(GrTmuVertex) == 3 * sizeof(float), "GrTmuVertex is 3 floats");
static_assert(sizeof(GuTexTable) == 1024, "the texture table is 1024 bytes");
static_assert(sizeof(Gu3dfHeader) == 6 * 4, "the 3DF header is six 32-bit values");
static_assert(offsetof(Gu3dfInfo, table) == 24, "the table follows the header");
static_assert(offsetof(Gu3dfInfo, data) == 24 + 1024, "the data pointer follows the table");
static_assert(offsetof(Gu3dfInfo, mem_required) == 24 + 1024 + sizeof(void *),
              "mem_required follows the data pointer");
static_assert(offsetof(GrHwConfiguration, num_sst) == 0, "num_sst comes first");
#else
_Static_assert(sizeof(GrVertex) == 15 * sizeof(float), "GrVertex is 15 floats");
_Static_assert(sizeof(GuTexTable) == 1024, "the texture table is 1024 bytes");
#endif

#endif
