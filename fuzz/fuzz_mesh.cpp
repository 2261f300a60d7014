// fuzz_mesh.cpp: the mesh reader on arbitrary bytes.
// Reads the fuzzer's input as the text of "obj.dat"; checks that a mesh it accepts is one
// the program can draw, and that a refusal is one line naming the file, as the program
// prints it, and holds nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check.h"
#include "scene/mesh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The reader's contract: the text is followed by a NUL byte. A fresh copy, so that
    // ASan sees a read one byte past that NUL.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    Mesh mesh;
    char why[256];
    std::memset(why, 0x5a, sizeof why);
    const MeshStatus status = parse_mesh(text.data(), size, "obj.dat", &mesh, why, sizeof why);
    if (status == MESH_OK) {
        // Every index in range; every entry touched, as the frame loop does, so that ASan
        // sees the whole arrays.
        for (int32_t i = 0; i < mesh.face_count; i++)
            for (int k = 0; k < 3; k++)
                if (mesh.faces[i].v[k] < 0 || mesh.faces[i].v[k] >= mesh.vertex_count)
                    fail("fuzz_mesh: accepted a face index outside the vertices");
        for (int32_t i = 0; i < mesh.vertex_count; i++) {
            mesh.turned_x[i] = {mesh.vertices[i].x, mesh.vertices[i].y, mesh.vertices[i].z};
            mesh.turned[i] = mesh.turned_x[i];
        }
        free_mesh(&mesh);
        return 0;
    }
    const char *end = (const char *)std::memchr(why, '\0', sizeof why);
    if (status != MESH_MALFORMED || !end || end - why < 2 || end[-1] != '\n' ||
        std::memchr(why, '\n', end - why - 1) || std::strncmp(why, "obj.dat: ", 9) != 0)
        fail("fuzz_mesh: a refusal that is not one line naming the file");
    if (mesh.vertices || mesh.faces || mesh.turned_x || mesh.turned)
        fail("fuzz_mesh: a refused mesh still holds arrays");
    return 0;
}
