// tex_test.cpp: the texture tests' scratch folder, files and texture memory.
#include "tex_test.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{

// Removed when the process ends.
struct Scratch {
    std::string dir;
    ~Scratch() { remove_dir(dir); }
};

Scratch scratch;

} // namespace

const std::string &scratch_dir()
{
    if (scratch.dir.empty())
        scratch.dir = make_temp_dir();
    if (scratch.dir.empty())
        std::abort();
    return scratch.dir;
}

std::string scratch_path(const std::string &name)
{
    return scratch_dir() + "/" + name;
}

void TexMemoryRelease::operator()(TexMemory *mem) const
{
    tex_memory_release(mem);
    delete mem;
}

TexMemoryPtr new_tex_memory(uint32_t capacity, int32_t handle_base)
{
    TexMemoryPtr mem(new TexMemory);
    tex_memory_init(mem.get(), capacity, handle_base);
    return mem;
}

int32_t allocate_like_program(TexMemory *mem, const Gu3dfHeader &h)
{
    return tex_allocate(mem, GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height,
                        h.format, GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio,
                        GR_TEXTURECLAMP_WRAP, GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR,
                        GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
}

Rgba texel_at(const MipLevel &lv, int x, int y)
{
    uint8_t b[4];
    std::memcpy(b, lv.texels + ((size_t)y << lv.width_log2) + x, 4);
    return {b[0], b[1], b[2], b[3]};
}
