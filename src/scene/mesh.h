// mesh.h: the mesh that the demo shows, and its file "obj.dat".
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"

struct Point3 {
    float x, y, z;
};

struct MeshVertex {
    float x, y, z; // model units
    float s, t;    // texture space: 256 units span a texture once
};

struct MeshFace {
    int32_t v[3]; // vertex indices, 0..vertex_count-1, corner order kept
};

// One vertex of one copy as the library takes it. A corner at or behind the eye plane
// would project through the eye: its faces are not drawn.
struct Corner {
    GrVertex v;
    bool in_front;
};

struct Mesh {
    int32_t vertex_count;
    int32_t face_count;
    MeshVertex *vertices; // vertex_count entries, file order
    MeshFace *faces;      // face_count entries, file order
    Point3 *turned_x;     // vertex_count: positions rotated about X
    Point3 *turned;       // vertex_count: then about Y
    Corner *corners;      // vertex_count: turned, placed at a copy's offset and projected
};

enum MeshStatus {
    MESH_OK,
    MESH_NOT_FOUND, // the file cannot be opened
    MESH_MALFORMED, // the file is not a mesh; why says what and where, one line
};

// Reads "obj.dat" from the current folder into *mesh. The arrays are allocated once and
// live until the process ends. On MESH_MALFORMED, why holds a line ending in '\n'.
MeshStatus load_mesh(Mesh *mesh, char *why, size_t why_size);
// The same for any file; `name` is the file name that messages start with.
MeshStatus load_mesh_file(const char *path, const char *name, Mesh *mesh, char *why,
                          size_t why_size);
// Parses text[0..len) (which must be followed by a NUL byte) as a mesh file.
MeshStatus parse_mesh(const char *text, size_t len, const char *name, Mesh *mesh, char *why,
                      size_t why_size);
// Releases what parse_mesh allocated (the program itself never does).
void free_mesh(Mesh *mesh);
