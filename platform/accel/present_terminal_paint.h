// present_terminal_paint.h: what the terminal display draws, made by libchafa.
// Symbols: a shown frame becomes cells of block symbols in 24-bit colour, one band of rows
// per frame within a fixed budget of cells. Pixels: the frame becomes one image in the
// terminal's pixel protocol. present_terminal.cpp places, diffs and writes the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ChafaCanvas;
struct ChafaTermInfo;

enum PixelProtocol { PIXELS_NONE, PIXELS_KITTY, PIXELS_SIXEL, PIXELS_ITERM };

constexpr uint32_t CELL_UNKNOWN = 0xffffffffu; // not a 0xRRGGBB colour: "draw this cell"

// Cells chafa is given per frame. It costs about 1.2 us a cell on one core, so this keeps a
// frame near 5 ms; larger pictures are drawn a band of rows per frame, the bands that
// changed in turn.
constexpr int CELLS_PER_FRAME = 2560;

struct TermCell {
    uint32_t ch = 0;            // ' ' (background only) or a block element, U+2580..U+259F
    uint32_t fg = CELL_UNKNOWN; // 0xRRGGBB of the symbol's ink; equal to bg for ' '
    uint32_t bg = CELL_UNKNOWN; // 0xRRGGBB of the rest of the cell
};

// One board's picture. Everything is sized by terminal_paint_layout, never per frame.
struct TerminalPaint {
    PixelProtocol protocol = PIXELS_NONE;
    int w = 0, h = 0;                 // the picture in cells
    int pw = 0, ph = 0;               // symbols: the box-filtered picture handed to chafa
    int band_rows = 0;                // symbols: cell rows per band (the last may be fewer)
    int next_band = 0;                // symbols: the band the next frame draws
    std::vector<ChafaCanvas *> bands; // symbols: a canvas per band
    ChafaCanvas *image = nullptr;     // pixels: the canvas of the whole picture
    std::vector<int> src_x;           // symbols: pw + 1 column bounds in the frame
    std::vector<int> src_y;           // symbols: ph + 1 row bounds, top down
    std::vector<uint32_t> pixels;     // RGBA8 top down: the picture (symbols) or the frame
    std::vector<uint32_t> row;        // symbols: one picture row, pw wide
    std::vector<uint32_t> colsum;     // symbols: R, G, B per frame column over a row band
};

// The pixel protocol to use on standard output's terminal, from ACCEL_TERMINAL_PIXELS
// ("0", "kitty", "sixel", "iterm"; unset: chafa's terminal database on the environment).
// *term receives the terminal's sequences (unref with terminal_paint_release_term). False
// for a value of the variable that is none of these.
bool terminal_paint_detect(PixelProtocol *protocol, ChafaTermInfo **term);
void terminal_paint_release_term(ChafaTermInfo *term);
// The widest picture, in cells, worth drawing in this way.
int terminal_paint_max_cols(PixelProtocol protocol, int cell_px_w);
// Fixes chafa's own threads to one: the rasterizer's workers have the other cores.
void terminal_paint_init();

// (Re)sizes p for a picture of w x h cells; cell_px_w/h: a cell's size in screen pixels,
// 0 when the terminal does not say (pixel protocols only).
void terminal_paint_layout(TerminalPaint *p, PixelProtocol protocol, int w, int h, int cell_px_w,
                           int cell_px_h);
// Symbols: draws the next band of rgba (SCREEN_W x SCREEN_H, bottom row first) that changed
// into cells (w * h, top row first); the other cells keep what they had.
void terminal_paint_cells(TerminalPaint *p, const uint32_t *rgba, TermCell *cells);
// Pixels: the whole frame as one image, at the cursor. Writes its bytes at out[at...],
// growing out when it must; returns the count.
size_t terminal_paint_image(TerminalPaint *p, ChafaTermInfo *term, const uint32_t *rgba,
                            std::vector<char> *out, size_t at);
void terminal_paint_free(TerminalPaint *p);
