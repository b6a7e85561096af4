// Axis labels for the coverage picture: digits drawn from a 3 x 5 pixel font,
// doubled, in margins to the right of the plot (instrument counts) and below
// it (years). Plain pixels, so the PNG stays self-contained.
#include <algorithm>
#include <cstring>

#include "extras.hpp"

namespace quorbel {
namespace {

constexpr uint32_t kScale = 2;
constexpr uint32_t kGlyphWidth = 3 * kScale, kGlyphHeight = 5 * kScale, kGap = kScale;
constexpr uint32_t kTick = 4;
constexpr uint8_t kInk = 60;

// Rows of each digit, three bits a row, the leftmost pixel the highest bit.
constexpr uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

uint32_t text_width(const std::string &text) {
    return text.empty() ? 0 : uint32_t(text.size()) * (kGlyphWidth + kGap) - kGap;
}

struct Canvas {
    uint32_t width, height;
    std::vector<uint8_t> &rgb;
    void ink(uint32_t x, uint32_t y) {
        if (x >= width || y >= height) return;
        uint8_t *px = &rgb[(size_t(y) * width + x) * 3];
        px[0] = px[1] = px[2] = kInk;
    }
    // Digits only; anything else is left blank.
    void text(uint32_t x, uint32_t y, const std::string &label) {
        for (char c : label) {
            if (c >= '0' && c <= '9') {
                for (uint32_t r = 0; r < 5; ++r) {
                    for (uint32_t b = 0; b < 3; ++b) {
                        if (!(kDigits[c - '0'][r] >> (2 - b) & 1)) continue;
                        for (uint32_t dy = 0; dy < kScale; ++dy) {
                            for (uint32_t dx = 0; dx < kScale; ++dx) ink(x + b * kScale + dx, y + r * kScale + dy);
                        }
                    }
                }
            }
            x += kGlyphWidth + kGap;
        }
    }
};

}  // namespace

LabelledPicture add_axis_labels(const std::vector<uint8_t> &plot, uint32_t width, uint32_t height,
                                const std::vector<AxisTick> &x_ticks, const std::vector<AxisTick> &y_ticks) {
    uint32_t right = 0, below = 0;
    for (const AxisTick &t : y_ticks) right = std::max(right, kTick + 2 + text_width(t.text) + 2);
    if (!x_ticks.empty()) below = kTick + 2 + kGlyphHeight + 2;
    LabelledPicture out{width + right, height + below, {}};
    out.rgb.assign(size_t(out.width) * out.height * 3, 255);
    for (uint32_t y = 0; y < height; ++y) {
        std::memcpy(&out.rgb[size_t(y) * out.width * 3], &plot[size_t(y) * width * 3], size_t(width) * 3);
    }
    Canvas canvas{out.width, out.height, out.rgb};
    for (const AxisTick &t : y_ticks) {
        const uint32_t y = std::min(t.pixel, height ? height - 1 : 0);
        for (uint32_t dx = 0; dx < kTick; ++dx) canvas.ink(width + dx, y);
        // Centred on the tick, kept inside the picture.
        const uint32_t top = std::min(y > kGlyphHeight / 2 ? y - kGlyphHeight / 2 : 0,
                                      out.height > kGlyphHeight ? out.height - kGlyphHeight : 0);
        canvas.text(width + kTick + 2, top, t.text);
    }
    uint32_t free_from = 0;  // labels never overlap: one that would is left out
    for (const AxisTick &t : x_ticks) {
        const uint32_t x = std::min(t.pixel, width ? width - 1 : 0);
        for (uint32_t dy = 0; dy < kTick; ++dy) canvas.ink(x, height + dy);
        if (x < free_from || x + text_width(t.text) > out.width) continue;
        canvas.text(x, height + kTick + 2, t.text);
        free_from = x + text_width(t.text) + 2 * kGlyphWidth;
    }
    return out;
}

}  // namespace quorbel
