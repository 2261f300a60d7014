// tex_test.h: what the texture tests share: a scratch folder (files are written and read
// with run.h's helpers), and a file's texture decoded as the sampler sees it.
#pragma once

#include <string>

#include "../common/run.h"
#include "texture.h"

// A fresh folder for this process's files, removed at exit.
inline std::string scratch_path(const std::string &name)
{
    static struct Scratch {
        std::string dir = make_temp_dir();
        ~Scratch() { remove_dir(dir); }
    } scratch;
    return scratch.dir + "/" + name;
}

// The file's texture as the sampler sees it: gu3dfGetInfo, gu3dfLoad, then allocated and
// downloaded with the program's values into a memory of its own, valid until the next
// call; null where a step refuses.
inline const Texture *load_texture(const std::string &path)
{
    static TexMemory mem; // large: not on the stack
    Gu3dfInfo info;
    if (!gu3dfGetInfo(path.c_str(), &info))
        return nullptr;
    std::string data(info.mem_required, '\0');
    info.data = data.data();
    if (!gu3dfLoad(path.c_str(), &info))
        return nullptr;
    tex_memory_release(&mem);
    tex_memory_init(&mem, 2u << 20, 0);
    const Gu3dfHeader &h = info.header;
    const int32_t handle = tex_allocate(
        &mem, GR_TMU0, GR_MIPMAPLEVELMASK_BOTH, (int32_t)h.width, (int32_t)h.height, h.format,
        GR_MIPMAP_NEAREST, h.small_lod, h.large_lod, h.aspect_ratio, GR_TEXTURECLAMP_WRAP,
        GR_TEXTURECLAMP_WRAP, GR_TEXTUREFILTER_BILINEAR, GR_TEXTUREFILTER_BILINEAR, 0.0f, 0);
    tex_download(&mem, handle, data.data(), &info.table);
    return tex_lookup(mem, handle);
}
