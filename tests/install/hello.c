/* A C program of the kind the library is for: one board opened, a triangle drawn. */
#include <gfx/gfx.h>
#include <stdio.h>

int main(void)
{
    GrHwConfiguration hw;
    GrVertex v[3] = {{0}};
    grGlideInit();
    grSstSelect(0);
    if (!grSstQueryHardware(&hw) ||
        !grSstOpen(GR_RESOLUTION_640x480, GR_REFRESH_60Hz, GR_COLORFORMAT_ABGR,
                   GR_ORIGIN_LOWER_LEFT, GR_SMOOTHING_ENABLE, 2))
        return 1;
    for (int i = 0; i < 3; i++) {
        v[i].x = 100.0f + 200.0f * (float)(i == 1);
        v[i].y = 100.0f + 200.0f * (float)(i == 2);
        v[i].r = v[i].g = v[i].b = v[i].oow = 1.0f;
    }
    grBufferClear(0, 0, 0);
    guDrawTriangleWithClip(&v[0], &v[1], &v[2]);
    grBufferSwap(0);
    grGlideShutdown();
    puts("hello: drawn");
    return 0;
}
