// texture.cpp: placeholder until texture memory lands: every allocation fails.
#include "texture.h"

void tex_memory_init(TexMemory *mem, uint32_t capacity, int32_t handle_base)
{
    mem->capacity = capacity;
    mem->used = 0;
    mem->handle_base = handle_base;
    mem->count = 0;
}
void tex_memory_release(TexMemory *mem) { mem->count = 0; }
int32_t tex_allocate(TexMemory *, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                     int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, float, int32_t)
{
    return -1;
}
void tex_download(TexMemory *, int32_t, const void *, const GuTexTable *) {}
const Texture *tex_lookup(const TexMemory &, int32_t) { return nullptr; }
