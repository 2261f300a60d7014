// mesh.cpp: reads the mesh file: V, F, V entries "x y z s t", F entries "i j k", numbers
// separated by any white space, read as scanf's %d and %e would read them.
//
// Beyond the plain format, a file that is not a whole mesh is refused with a line that
// says what is wrong and where, before anything is allocated from its counts: the counts
// are checked against what the file can hold (every number takes at least one character
// and one separator), so a count of two billion in a small file costs nothing.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "scene/mesh.h"

namespace
{

struct Reader {
    const char *p;
    const char *end;
};

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

void skip_space(Reader *r)
{
    while (r->p < r->end && is_space(*r->p))
        r->p++;
}

// %d: optional sign, then decimal digits. False when there is no number, or it does not
// fit 32 bits.
bool read_int(Reader *r, int32_t *out)
{
    skip_space(r);
    const char *s = r->p;
    if (s < r->end && (*s == '+' || *s == '-'))
        s++;
    if (s >= r->end || *s < '0' || *s > '9')
        return false;
    errno = 0;
    char *stop = nullptr;
    const long v = std::strtol(r->p, &stop, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = (int32_t)v;
    r->p = stop;
    return true;
}

// %e into a float: strtof's forms (1, -0.5, 2.5e-1, inf, nan).
bool read_float(Reader *r, float *out)
{
    skip_space(r);
    if (r->p >= r->end)
        return false;
    char *stop = nullptr;
    const float v = std::strtof(r->p, &stop);
    if (stop == r->p || stop > r->end)
        return false;
    *out = v;
    r->p = stop;
    return true;
}

MeshStatus refuse(char *why, size_t why_size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

MeshStatus refuse(char *why, size_t why_size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (why_size > 0)
        std::vsnprintf(why, why_size, fmt, ap);
    va_end(ap);
    return MESH_MALFORMED;
}

} // namespace

MeshStatus parse_mesh(const char *text, size_t len, const char *name, Mesh *mesh, char *why,
                      size_t why_size)
{
    *mesh = Mesh{};
    Reader r = {text, text + len};
    int32_t v_count = 0, f_count = 0;
    if (!read_int(&r, &v_count))
        return refuse(why, why_size, "%s: the vertex count is missing or not a whole number\n",
                      name);
    if (!read_int(&r, &f_count))
        return refuse(why, why_size, "%s: the face count is missing or not a whole number\n", name);
    if (v_count < 0)
        return refuse(why, why_size, "%s: the vertex count is negative (%d)\n", name, v_count);
    if (f_count < 0)
        return refuse(why, why_size, "%s: the face count is negative (%d)\n", name, f_count);
    const uint64_t numbers = (uint64_t)v_count * 5 + (uint64_t)f_count * 3;
    const uint64_t room = (uint64_t)(r.end - r.p) + 1; // the last number needs no separator
    if (numbers > room / 2)
        return refuse(why, why_size,
                      "%s: %d vertices and %d faces need more numbers than the file holds\n", name,
                      v_count, f_count);

    MeshVertex *vertices = (MeshVertex *)std::malloc(sizeof(MeshVertex) * (v_count + 1));
    Point3 *turned_x = (Point3 *)std::malloc(sizeof(Point3) * (v_count + 1));
    Point3 *turned = (Point3 *)std::malloc(sizeof(Point3) * (v_count + 1));
    Corner *corners = (Corner *)std::malloc(sizeof(Corner) * (v_count + 1));
    MeshFace *faces = (MeshFace *)std::malloc(sizeof(MeshFace) * (f_count + 1));
    Mesh m = {v_count, f_count, vertices, faces, turned_x, turned, corners};
    if (!vertices || !turned_x || !turned || !corners || !faces) {
        free_mesh(&m);
        return refuse(why, why_size, "%s: out of memory for %d vertices and %d faces\n", name,
                      v_count, f_count);
    }
    for (int32_t i = 0; i < v_count; i++) {
        float *f = &vertices[i].x;
        for (int k = 0; k < 5; k++) {
            if (!read_float(&r, &f[k])) {
                free_mesh(&m);
                return refuse(why, why_size,
                              "%s: vertex %d of %d: value %d of 5 is missing or not a number\n",
                              name, i, v_count, k + 1);
            }
        }
    }
    for (int32_t i = 0; i < f_count; i++) {
        for (int k = 0; k < 3; k++) {
            int32_t *v = &faces[i].v[k];
            if (!read_int(&r, v)) {
                free_mesh(&m);
                return refuse(why, why_size,
                              "%s: face %d of %d: index %d of 3 is missing or not a whole number\n",
                              name, i, f_count, k + 1);
            }
            if (*v < 0 || *v >= v_count) {
                const int32_t bad = *v;
                free_mesh(&m);
                if (v_count == 0)
                    return refuse(why, why_size,
                                  "%s: face %d of %d: index %d of 3 is %d, but there are no "
                                  "vertices\n",
                                  name, i, f_count, k + 1, bad);
                return refuse(why, why_size,
                              "%s: face %d of %d: index %d of 3 is %d, outside 0..%d\n", name, i,
                              f_count, k + 1, bad, v_count - 1);
            }
        }
    }
    *mesh = m;
    return MESH_OK;
}

MeshStatus load_mesh_file(const char *path, const char *name, Mesh *mesh, char *why,
                          size_t why_size)
{
    // Not blocking: a FIFO would otherwise wait for a writer that may never come. Only a
    // regular file is read.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return MESH_NOT_FOUND;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return refuse(why, why_size, "%s: cannot be read\n", name);
    }
    std::vector<char> text;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            text.insert(text.end(), chunk, chunk + got);
    close(fd);
    if (got < 0)
        return refuse(why, why_size, "%s: cannot be read\n", name);
    const size_t len = text.size();
    text.push_back('\0'); // strtof and strtol stop here at the latest
    return parse_mesh(text.data(), len, name, mesh, why, why_size);
}

MeshStatus load_mesh(Mesh *mesh, char *why, size_t why_size)
{
    return load_mesh_file("obj.dat", "obj.dat", mesh, why, why_size);
}

void free_mesh(Mesh *mesh)
{
    std::free(mesh->vertices);
    std::free(mesh->faces);
    std::free(mesh->turned_x);
    std::free(mesh->turned);
    std::free(mesh->corners);
    *mesh = Mesh{};
}
