// rotate.cpp: the two rotation passes over whole position arrays.
#include <cmath>

#include "geometry/geometry.h"

void rotate_x(const MeshVertex *src, Point3 *dst, float angle, int32_t count)
{
    const double s = std::sin((double)angle), c = std::cos((double)angle);
    for (int32_t i = 0; i < count; i++) {
        const double y = src[i].y, z = src[i].z;
        dst[i].x = src[i].x;
        dst[i].y = (float)(c * y + s * z);
        dst[i].z = (float)(c * z - s * y);
    }
}

void rotate_y(const Point3 *src, Point3 *dst, float angle, int32_t count)
{
    const double s = std::sin((double)angle), c = std::cos((double)angle);
    for (int32_t i = 0; i < count; i++) {
        const double x = src[i].x, z = src[i].z;
        dst[i].x = (float)(c * x + s * z);
        dst[i].y = src[i].y;
        dst[i].z = (float)(c * z - s * x);
    }
}
