// main.cpp: the demo. Reads the mesh, opens every board, loads the two textures, sets
// the render state, then draws frames until a key is pressed on the console.
#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "driver/animation.h"
#include "driver/fatal_exit.h"
#include "gfx/gfx.h"
#include "scene/mesh.h"
#include "scene/texture.h"

int main()
{
    // Static: held to the end, and still reachable when the process exits.
    static Mesh mesh;
    static GrHwConfiguration hwconfig;
    static Animation anim;
    int32_t texture_a = -1, texture_b = -1;

    console_open();

    char why[256];
    switch (load_mesh(&mesh, why, sizeof why)) {
    case MESH_NOT_FOUND:
        std::fputs("Obj.dat : fichier Non trouve.\n", stderr);
        std::exit(-1);
    case MESH_MALFORMED:
        std::fputs(why, stderr);
        std::exit(-1);
    case MESH_OK:
        break;
    }

    grGlideInit();
    if (!grSstQueryHardware(&hwconfig))
        fatal_exit("main: grSstQueryHardware failed!\n");
    for (int i = 0; i < hwconfig.num_sst; i++) {
        grSstSelect(i);
        if (!grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                       GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2))
            fatal_exit("main: grSstOpen failed for SST#%d!\n", i);
    }

    load_texture("quib.3DF", &texture_a);
    load_texture("plov1.3DF", &texture_b);

    guColorCombineFunction(GR_COLORCOMBINE_TEXTURE_TIMES_ITRGB);
    grTexCombineFunction(GR_TMU0, GR_TEXTURECOMBINE_DECAL);
    grDepthBufferMode(GR_DEPTHBUFFER_ZBUFFER);
    grDepthBufferFunction(GR_CMP_GREATER);
    grDepthMask(1);

    animation_start(&anim);
    do {
        grBufferClear(0, 0, 0);
        draw_copies(&anim, &mesh, texture_a, texture_b);
        grBufferSwap(1);
        animation_advance(&anim);
    } while (!console_key_waiting());

    console_read_key();
    for (int i = 0; i < hwconfig.num_sst; i++) {
        grSstSelect(i);
        grGlideShutdown();
    }
    return 0;
}
