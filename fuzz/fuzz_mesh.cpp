// fuzz_mesh.cpp: the mesh reader on arbitrary bytes.
// Reads the fuzzer's input as the text of "obj.dat"; checks that a mesh it accepts is one
// the program can draw, and that a refusal is one line, as the program prints it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scene/mesh.h"

static void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_mesh: %s\n", what);
    std::abort();
}

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
        if (mesh.vertex_count < 0 || mesh.face_count < 0)
            fail("accepted a negative count");
        if ((mesh.vertex_count > 0 && (!mesh.vertices || !mesh.turned_x || !mesh.turned)) ||
            (mesh.face_count > 0 && !mesh.faces))
            fail("accepted a mesh without its arrays");
        for (int32_t i = 0; i < mesh.face_count; i++)
            for (int k = 0; k < 3; k++)
                if (mesh.faces[i].v[k] < 0 || mesh.faces[i].v[k] >= mesh.vertex_count)
                    fail("accepted a face index outside the vertices");
        // Touch every entry, as the frame loop does, so that ASan sees the whole arrays.
        volatile float sum = 0;
        for (int32_t i = 0; i < mesh.vertex_count; i++) {
            mesh.turned_x[i] = {mesh.vertices[i].x, mesh.vertices[i].y, mesh.vertices[i].z};
            mesh.turned[i] = mesh.turned_x[i];
            sum = sum + mesh.vertices[i].s + mesh.vertices[i].t;
        }
        free_mesh(&mesh);
    } else if (status == MESH_MALFORMED) {
        const void *nul = std::memchr(why, '\0', sizeof why);
        if (!nul)
            fail("the refusal is not a terminated string");
        const size_t len = (const char *)nul - why;
        if (len < 2 || why[len - 1] != '\n' || std::memchr(why, '\n', len - 1))
            fail("the refusal is not exactly one line");
        if (std::strncmp(why, "obj.dat: ", 9) != 0)
            fail("the refusal does not name the file");
        if (mesh.vertices || mesh.faces || mesh.turned_x || mesh.turned)
            fail("a refused mesh still holds arrays");
    } else {
        fail("parse_mesh reported a file that cannot be opened");
    }
    return 0;
}
