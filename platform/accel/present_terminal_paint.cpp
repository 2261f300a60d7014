// present_terminal_paint.cpp: the terminal display's picture, made by libchafa.
// Reads a shown frame (bottom row first) and the picture's size in cells; writes block-symbol
// cells with 24-bit colours (a band of rows per frame), or one image in the terminal's pixel
// protocol (kitty, sixel, iTerm2) as bytes ready to write.
#include <algorithm>
#include <chafa.h>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "accel.h"
#include "present_terminal_paint.h"

namespace
{

constexpr uint32_t SPACE = 0x20, FULL_BLOCK = 0x2588;
constexpr uint32_t FIRST_BLOCK = 0x2580, LAST_BLOCK = 0x259f; // Unicode's block elements
constexpr uint32_t FIRST_SHADE = 0x2591, LAST_SHADE = 0x2593; // stipples: noise at this size
// A cell's size in pixels when the terminal does not report it: small enough that a sixel
// image stays inside its cells on most fonts (larger would scroll the screen).
constexpr int GUESS_CELL_W = 8, GUESS_CELL_H = 16;
// Kitty answers every image unless told not to; the answer would reach standard input,
// where the console takes it for a key.
constexpr char KITTY_BEGIN[] = "\x1b_Ga=T,q=2,f=%1,s=%2,v=%3,c=%4,r=%5,m=1\x1b\\";
// Frees the image under the cursor (the previous frame's), so kitty does not keep them all.
constexpr char KITTY_DELETE[] = "\x1b_Ga=d,d=C,q=2\x1b\\";

bool starts_with(const char *s, const char *prefix)
{
    return s && std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool set(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v;
}

void free_canvases(TerminalPaint *p)
{
    for (ChafaCanvas *c : p->bands)
        chafa_canvas_unref(c);
    p->bands.clear();
    if (p->image)
        chafa_canvas_unref(p->image);
    p->image = nullptr;
}

ChafaCanvasConfig *symbols_config(int w, int rows)
{
    ChafaSymbolMap *map = chafa_symbol_map_new();
    chafa_symbol_map_add_by_range(map, SPACE, SPACE);
    chafa_symbol_map_add_by_range(map, FIRST_BLOCK, LAST_BLOCK);
    chafa_symbol_map_remove_by_range(map, FIRST_SHADE, LAST_SHADE);
    ChafaCanvasConfig *config = chafa_canvas_config_new();
    chafa_canvas_config_set_geometry(config, w, rows);
    chafa_canvas_config_set_canvas_mode(config, CHAFA_CANVAS_MODE_TRUECOLOR);
    chafa_canvas_config_set_pixel_mode(config, CHAFA_PIXEL_MODE_SYMBOLS);
    chafa_canvas_config_set_symbol_map(config, map);
    chafa_canvas_config_set_dither_mode(config, CHAFA_DITHER_MODE_NONE);
    chafa_canvas_config_set_preprocessing_enabled(config, FALSE);
    // The least search: with two dozen symbols the choice barely changes, the time halves.
    chafa_canvas_config_set_work_factor(config, 0.0f);
    chafa_symbol_map_unref(map);
    return config;
}

// Averages the frame over each picture pixel's box, for picture row j (top down).
void filter_row(TerminalPaint *p, const uint32_t *rgba, int j, uint32_t *out)
{
    uint32_t *sum = p->colsum.data();
    std::fill(p->colsum.begin(), p->colsum.end(), 0u);
    const int y0 = p->src_y[j], y1 = p->src_y[j + 1];
    for (int ty = y0; ty < y1; ty++) {
        const uint32_t *src = rgba + (size_t)(SCREEN_H - 1 - ty) * SCREEN_W; // bottom row first
        for (int x = 0; x < SCREEN_W; x++) {
            sum[x * 3 + 0] += src[x] & 255;
            sum[x * 3 + 1] += (src[x] >> 8) & 255;
            sum[x * 3 + 2] += (src[x] >> 16) & 255;
        }
    }
    for (int i = 0; i < p->pw; i++) {
        uint32_t r = 0, g = 0, b = 0;
        const int x0 = p->src_x[i], x1 = p->src_x[i + 1];
        for (int x = x0; x < x1; x++) {
            r += sum[x * 3 + 0];
            g += sum[x * 3 + 1];
            b += sum[x * 3 + 2];
        }
        const uint32_t n = (uint32_t)((x1 - x0) * (y1 - y0));
        // Opaque whatever the frame's alpha says: chafa would otherwise leave holes.
        out[i] = 0xff000000u | ((b + n / 2) / n) << 16 | ((g + n / 2) / n) << 8 | (r + n / 2) / n;
    }
}

uint32_t packed(gint c)
{
    return c < 0 ? 0u : (uint32_t)c & 0xffffffu; // -1: transparent, which opaque input never is
}

// Filters band `band` of the frame into the picture; when it changed, chafa draws its cells.
// True when chafa was run.
bool draw_band(TerminalPaint *p, const uint32_t *rgba, int band, TermCell *cells)
{
    const int r0 = band * p->band_rows, r1 = std::min(p->h, r0 + p->band_rows);
    const int sub = p->ph / p->h; // picture rows per cell row
    bool changed = false;
    for (int j = r0 * sub; j < r1 * sub; j++) {
        uint32_t *row = p->pixels.data() + (size_t)j * p->pw;
        filter_row(p, rgba, j, p->row.data());
        if (!std::equal(p->row.begin(), p->row.end(), row)) {
            std::copy(p->row.begin(), p->row.end(), row);
            changed = true;
        }
    }
    if (!changed)
        return false;
    ChafaCanvas *canvas = p->bands[band];
    chafa_canvas_draw_all_pixels(canvas, CHAFA_PIXEL_RGBA8_UNASSOCIATED,
                                 (const guint8 *)(p->pixels.data() + (size_t)r0 * sub * p->pw),
                                 p->pw, (r1 - r0) * sub, p->pw * 4);
    for (int cy = r0; cy < r1; cy++) {
        TermCell *row = cells + (size_t)cy * p->w;
        for (int cx = 0; cx < p->w; cx++) {
            gint fg = 0, bg = 0;
            uint32_t ch = chafa_canvas_get_char_at(canvas, cx, cy - r0);
            chafa_canvas_get_colors_at(canvas, cx, cy - r0, &fg, &bg);
            TermCell c = {ch, packed(fg), packed(bg)};
            // One spelling per look, so the diff sees equal cells as equal: a full block
            // or a symbol in one colour is a space in that colour.
            if (ch == FULL_BLOCK)
                c.bg = c.fg;
            if (ch == FULL_BLOCK || ch == SPACE || c.fg == c.bg || ch < FIRST_BLOCK ||
                ch > LAST_BLOCK) {
                c.ch = SPACE;
                c.fg = c.bg;
            }
            row[cx] = c;
        }
    }
    return true;
}

} // namespace

void terminal_paint_init()
{
    chafa_set_n_threads(1);
}

bool terminal_paint_detect(PixelProtocol *protocol, ChafaTermInfo **term)
{
    ChafaTermDb *db = chafa_term_db_get_default();
    ChafaTermInfo *t = chafa_term_db_detect(db, environ);
    const char *asked = std::getenv("ACCEL_TERMINAL_PIXELS");
    PixelProtocol p = PIXELS_NONE;
    if (asked && *asked) {
        if (std::strcmp(asked, "kitty") == 0)
            p = PIXELS_KITTY;
        else if (std::strcmp(asked, "sixel") == 0)
            p = PIXELS_SIXEL;
        else if (std::strcmp(asked, "iterm") == 0)
            p = PIXELS_ITERM;
        else if (std::strcmp(asked, "0") != 0) {
            Env env;
            env.debug = set("ACCEL_DEBUG") && std::strcmp(std::getenv("ACCEL_DEBUG"), "1") == 0;
            debug_log(env, "ACCEL_TERMINAL_PIXELS='%s' is not 0, kitty, sixel or iterm", asked);
            chafa_term_info_unref(t);
            return false;
        }
        // Asked for by name: the sequences from chafa's defaults if the database lacks them.
        ChafaTermInfo *fallback = chafa_term_db_get_fallback_info(db);
        chafa_term_info_supplement(t, fallback);
        chafa_term_info_unref(fallback);
    } else if (set("TMUX") || set("STY") || starts_with(std::getenv("TERM"), "screen") ||
               starts_with(std::getenv("TERM"), "tmux")) {
        // A multiplexer keeps its own screen of cells; images would need passing through.
        p = PIXELS_NONE;
    } else if (chafa_term_info_have_seq(t, CHAFA_TERM_SEQ_BEGIN_KITTY_IMMEDIATE_IMAGE_V1)) {
        p = PIXELS_KITTY;
    } else if (chafa_term_info_have_seq(t, CHAFA_TERM_SEQ_BEGIN_ITERM2_IMAGE)) {
        p = PIXELS_ITERM;
    } else if (chafa_term_info_have_seq(t, CHAFA_TERM_SEQ_BEGIN_SIXELS)) {
        p = PIXELS_SIXEL;
    }
    if (p == PIXELS_KITTY)
        chafa_term_info_set_seq(t, CHAFA_TERM_SEQ_BEGIN_KITTY_IMMEDIATE_IMAGE_V1, KITTY_BEGIN,
                                nullptr);
    *protocol = p;
    *term = t;
    return true;
}

int terminal_paint_max_cols(PixelProtocol protocol, int cell_px_w)
{
    // Sixels larger than the frame add no detail, only bytes and time.
    if (protocol == PIXELS_SIXEL)
        return std::max(1, SCREEN_W / (cell_px_w > 0 ? cell_px_w : GUESS_CELL_W));
    return SCREEN_W;
}

void terminal_paint_release_term(ChafaTermInfo *term)
{
    if (term)
        chafa_term_info_unref(term);
}

void terminal_paint_layout(TerminalPaint *p, PixelProtocol protocol, int w, int h, int cell_px_w,
                           int cell_px_h)
{
    free_canvases(p);
    p->protocol = protocol;
    p->w = w;
    p->h = h;
    p->next_band = 0;
    if (w <= 0 || h <= 0) {
        p->w = p->h = 0;
        return;
    }
    if (protocol != PIXELS_NONE) {
        // Sixel pixels are the screen's own, so the image is made at the cells' true size.
        // Kitty and iTerm2 scale an image to its cells: a quarter of the frame is sent, as
        // the bytes (4 a pixel, in base64) are what a terminal takes longest over.
        int cw = cell_px_w > 0 ? cell_px_w : GUESS_CELL_W;
        int ch = cell_px_h > 0 ? cell_px_h : GUESS_CELL_H;
        if (protocol != PIXELS_SIXEL) {
            cw = std::clamp(cw, 1, std::max(1, SCREEN_W / 2 / w));
            ch = std::clamp(ch, 1, std::max(1, SCREEN_H / 2 / h));
        }
        ChafaCanvasConfig *config = chafa_canvas_config_new();
        chafa_canvas_config_set_geometry(config, w, h);
        chafa_canvas_config_set_cell_geometry(config, cw, ch);
        chafa_canvas_config_set_canvas_mode(config, CHAFA_CANVAS_MODE_TRUECOLOR);
        chafa_canvas_config_set_pixel_mode(config, protocol == PIXELS_KITTY ? CHAFA_PIXEL_MODE_KITTY
                                                   : protocol == PIXELS_SIXEL
                                                       ? CHAFA_PIXEL_MODE_SIXELS
                                                       : CHAFA_PIXEL_MODE_ITERM2);
        chafa_canvas_config_set_work_factor(config, 0.0f);
        p->image = chafa_canvas_new(config);
        chafa_canvas_config_unref(config);
        p->pixels.assign((size_t)SCREEN_W * SCREEN_H, 0u); // no frame matches: drawn once
        return;
    }
    // Two by four picture pixels a cell, where the frame has them: enough for chafa to tell
    // a half, a quarter or an eighth block apart, a sixteenth of what it would scale.
    p->pw = w * (2 * w <= SCREEN_W ? 2 : 1);
    p->ph = h * (4 * h <= SCREEN_H ? 4 : 2);
    const int bands = (w * h + CELLS_PER_FRAME - 1) / CELLS_PER_FRAME;
    p->band_rows = (h + bands - 1) / bands;
    for (int r0 = 0; r0 < h; r0 += p->band_rows) {
        ChafaCanvasConfig *config = symbols_config(w, std::min(p->band_rows, h - r0));
        p->bands.push_back(chafa_canvas_new(config));
        chafa_canvas_config_unref(config);
    }
    p->src_x.resize((size_t)p->pw + 1);
    p->src_y.resize((size_t)p->ph + 1);
    for (int i = 0; i <= p->pw; i++)
        p->src_x[i] = i * SCREEN_W / p->pw;
    for (int j = 0; j <= p->ph; j++)
        p->src_y[j] = j * SCREEN_H / p->ph;
    // Zero alpha: no filtered pixel equals it, so every band is drawn once.
    p->pixels.assign((size_t)p->pw * p->ph, 0u);
    p->row.resize((size_t)p->pw);
    p->colsum.resize((size_t)SCREEN_W * 3);
}

void terminal_paint_cells(TerminalPaint *p, const uint32_t *rgba, TermCell *cells)
{
    const int count = (int)p->bands.size();
    for (int i = 0; i < count; i++) {
        const int band = p->next_band;
        p->next_band = (band + 1) % count;
        // A band that looks as it did costs only its filtering: the next one gets the turn.
        if (draw_band(p, rgba, band, cells))
            return;
    }
}

size_t terminal_paint_image(TerminalPaint *p, ChafaTermInfo *term, const uint32_t *rgba,
                            std::vector<char> *out, size_t at)
{
    if (!p->image)
        return 0;
    uint32_t *dst = p->pixels.data();
    uint32_t differ = 0;
    for (int y = 0; y < SCREEN_H; y++) {
        const uint32_t *src = rgba + (size_t)(SCREEN_H - 1 - y) * SCREEN_W;
        uint32_t *to = dst + (size_t)y * SCREEN_W;
        for (int x = 0; x < SCREEN_W; x++) {
            const uint32_t px = src[x] | 0xff000000u;
            differ |= px ^ to[x];
            to[x] = px;
        }
    }
    if (!differ)
        return 0; // the image shown is this one
    chafa_canvas_draw_all_pixels(p->image, CHAFA_PIXEL_RGBA8_UNASSOCIATED, (const guint8 *)dst,
                                 SCREEN_W, SCREEN_H, SCREEN_W * 4);
    GString *image = chafa_canvas_print(p->image, term);
    const size_t prefix = p->protocol == PIXELS_KITTY ? sizeof KITTY_DELETE - 1 : 0;
    const size_t n = prefix + image->len;
    if (out->size() < at + n)
        out->resize(at + n + n / 4); // grows while the picture's size settles, then stays
    std::memcpy(out->data() + at, KITTY_DELETE, prefix);
    std::memcpy(out->data() + at + prefix, image->str, image->len);
    g_string_free(image, TRUE);
    return n;
}

void terminal_paint_free(TerminalPaint *p)
{
    free_canvases(p);
    *p = TerminalPaint{};
}
