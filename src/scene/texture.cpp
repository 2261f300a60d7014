// texture.cpp: load_texture. The library reads the 3DF file; the program
// only provides the staging buffer, which it frees right after the download.
#include <cstdlib>

#include "driver/fatal_exit.h"
#include "gfx/gfx.h"
#include "scene/texture.h"

void load_texture(const char *filename, int32_t *handle)
{
    Gu3dfInfo info;
    if (!gu3dfGetInfo(filename, &info))
        fatal_exit("ERROR: could not load texture \n");
    // At least one byte, so that a zero-size texture does not read as a failed malloc.
    info.data = std::malloc(info.mem_required ? info.mem_required : 1);
    if (!info.data)
        fatal_exit("out of memory for texture\n");
    if (!gu3dfLoad(filename, &info)) {
        std::free(info.data);
        fatal_exit("could not load texture file\n");
    }
    *handle = guTexAllocateMemory(
        GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)info.header.width, (int32_t)info.header.height,
        info.header.format, GR_MIPMAP_NEAREST, info.header.small_lod, info.header.large_lod,
        info.header.aspect_ratio, GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP,
        GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    if (*handle == -1) {
        std::free(info.data);
        fatal_exit("could not allocate memory for Texture\n");
    }
    guTexDownloadMipMap(*handle, info.data, &info.table);
    std::free(info.data);
}
