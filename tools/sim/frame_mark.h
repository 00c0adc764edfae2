#pragma once
// The mark every frame of a simulated RTSP camera carries, so that a test
// can tell after encoding and decoding which frame it holds. Self-contained
// (no library, no simulator code): tests include it to read the frames
// they decoded.
//
// The picture is cut into four bands of equal height, each into 16 cells of
// equal width. Band 0 holds bits 0-15 of the frame number, band 1 bits 16-30
// (its last cell is always black), band 2 the check: bit i is set when bits
// i of bands 0 and 1 differ and the cell is inverted on odd i, so that no
// uniform picture (all black, all white, all gray) reads as a number. A
// set bit is a white cell (luma 235), a clear one a black cell (luma 16):
// blocks that large survive H.264 and H.265 at any bitrate worth testing.
// Band 3 is a flat gray whose luma steps with the frame number
// (FrameMarkLuma), for eyes and for a player's thumbnail.
#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr int kFrameMarkCells = 16;
inline constexpr int kFrameMarkBands = 4;
inline constexpr std::uint8_t kFrameMarkBlack = 16;
inline constexpr std::uint8_t kFrameMarkWhite = 235;

// The luma of band 3 for frame `n`: 16 steps from 24 to 204.
inline std::uint8_t FrameMarkLuma(std::uint32_t n) {
  return static_cast<std::uint8_t>(24 + (n % 16) * 12);
}

// Whether cell `cell` of band `band` is white for frame number `n`.
inline bool FrameMarkCellWhite(std::uint32_t n, int band, int cell) {
  const std::uint32_t low = n & 0xFFFF;
  const std::uint32_t high = (n >> 16) & 0x7FFF;
  if (band == 0) return (low >> cell) & 1;
  if (band == 1) return (high >> cell) & 1;
  const bool differ = (((low ^ high) >> cell) & 1) != 0;
  return differ != ((cell & 1) != 0);
}

// Draws the mark of frame `n` (taken modulo 2^31) into a luma plane.
inline void DrawFrameMark(std::uint32_t n, std::uint8_t* y, int width, int height, int stride) {
  n &= 0x7FFFFFFF;
  for (int row = 0; row < height; ++row) {
    const int band = row * kFrameMarkBands / height;
    std::uint8_t* line = y + static_cast<std::size_t>(row) * static_cast<std::size_t>(stride);
    for (int col = 0; col < width; ++col) {
      const int cell = col * kFrameMarkCells / width;
      line[col] = band == 3                           ? FrameMarkLuma(n)
                  : FrameMarkCellWhite(n, band, cell) ? kFrameMarkWhite
                                                      : kFrameMarkBlack;
    }
  }
}

// The frame number a decoded luma (or gray) plane shows, or -1 when the
// picture carries no readable mark (too small, cut, a check that fails).
// Each cell is judged by the mean of its middle half, against mid-gray.
inline int FrameNumberFromGray(const std::uint8_t* y, int width, int height, int stride) {
  if (y == nullptr || width < 4 * kFrameMarkCells || height < 4 * kFrameMarkBands || stride < width)
    return -1;
  bool white[3][kFrameMarkCells];
  for (int band = 0; band < 3; ++band) {
    const int top = band * height / kFrameMarkBands;
    const int bottom = (band + 1) * height / kFrameMarkBands;
    for (int cell = 0; cell < kFrameMarkCells; ++cell) {
      const int left = cell * width / kFrameMarkCells;
      const int right = (cell + 1) * width / kFrameMarkCells;
      const int x0 = left + (right - left) / 4, x1 = right - (right - left) / 4;
      const int y0 = top + (bottom - top) / 4, y1 = bottom - (bottom - top) / 4;
      std::uint64_t sum = 0, count = 0;
      for (int row = y0; row < y1; ++row)
        for (int col = x0; col < x1; ++col) {
          sum += y[static_cast<std::size_t>(row) * static_cast<std::size_t>(stride) +
                   static_cast<std::size_t>(col)];
          ++count;
        }
      const std::uint64_t mean = count ? sum / count : 0;
      // A cell far from both black and white is no mark at all.
      if (mean > 80 && mean < 170) return -1;
      white[band][cell] = mean >= 128;
    }
  }
  std::uint32_t low = 0, high = 0;
  for (int cell = 0; cell < kFrameMarkCells; ++cell) {
    if (white[0][cell]) low |= 1u << cell;
    if (white[1][cell]) high |= 1u << cell;
  }
  if (high & 0x8000) return -1;
  const std::uint32_t n = low | (high << 16);
  for (int cell = 0; cell < kFrameMarkCells; ++cell)
    if (white[2][cell] != FrameMarkCellWhite(n, 2, cell)) return -1;
  return static_cast<int>(n);
}

}  // namespace sim
