// Draws the program's icon and writes it as a Windows .ico holding 13 images: 48, 32, 24 and 16
// pixels square in 16 colours, in 256 colours and in 32-bit colour, and 256 pixels in 32-bit
// colour (stored as PNG, as Windows expects at that size).
//   make_icon <output.ico>
// The artwork is the desktop icon's: a dark blue tile, a chip with pins on two sides, and a green
// arrow pointing up into it. Each pixel is the average of 8 x 8 samples of the drawing, so edges
// are smooth at every size. Plain C++: no image library.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;
};

struct Colour {
  std::uint8_t r, g, b;
};

constexpr Colour kPin{0xd8, 0xdc, 0xe6};
constexpr Colour kChip{0x23, 0x25, 0x2b};
constexpr Colour kDot{0x3b, 0x3e, 0x47};
constexpr Colour kArrow{0x35, 0xd0, 0x5a};
constexpr Colour kArrowEdge{0x0b, 0x5d, 0x22};

struct Point {
  double x, y;
};
constexpr std::array<Point, 7> kArrowShape = {
    {{128, 30}, {178, 94}, {146, 94}, {146, 190}, {110, 190}, {110, 94}, {78, 94}}};

bool InRoundedRect(double x, double y, double left, double top, double w, double h, double r) {
  if (x < left || y < top || x > left + w || y > top + h) return false;
  const double cx = std::clamp(x, left + r, left + w - r);
  const double cy = std::clamp(y, top + r, top + h - r);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

bool InPolygon(double x, double y) {
  bool inside = false;
  for (std::size_t i = 0, j = kArrowShape.size() - 1; i < kArrowShape.size(); j = i++) {
    const Point& a = kArrowShape[i];
    const Point& b = kArrowShape[j];
    if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) inside = !inside;
  }
  return inside;
}

double DistanceToOutline(double x, double y) {
  double best = 1e9;
  for (std::size_t i = 0, j = kArrowShape.size() - 1; i < kArrowShape.size(); j = i++) {
    const Point& a = kArrowShape[j];
    const Point& b = kArrowShape[i];
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double t = std::clamp(((x - a.x) * dx + (y - a.y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    const double px = a.x + t * dx - x, py = a.y + t * dy - y;
    best = std::min(best, std::sqrt(px * px + py * py));
  }
  return best;
}

// The drawing at one point of the 256-unit square; alpha 0 outside the tile.
Rgba Sample(double x, double y) {
  Rgba out;
  if (!InRoundedRect(x, y, 8, 8, 240, 240, 44)) return out;
  const double t = std::clamp(y / 256.0, 0.0, 1.0);  // the tile's gradient, top to bottom
  Colour c{static_cast<std::uint8_t>(0x1c + (0x00 - 0x1c) * t),
           static_cast<std::uint8_t>(0x2f + (0x00 - 0x2f) * t),
           static_cast<std::uint8_t>(0xb8 + (0x73 - 0xb8) * t)};
  for (int i = 0; i < 4; ++i) {
    const double py = 92 + i * 30;
    if ((x >= 46 && x <= 72 && y >= py && y <= py + 14) ||
        (x >= 184 && x <= 210 && y >= py && y <= py + 14)) {
      c = kPin;
    }
  }
  if (InRoundedRect(x, y, 68, 78, 120, 146, 10)) c = kChip;
  if ((x - 88) * (x - 88) + (y - 98) * (y - 98) <= 64) c = kDot;
  if (InPolygon(x, y)) c = kArrow;
  if (DistanceToOutline(x, y) <= 4) c = kArrowEdge;
  return {double(c.r), double(c.g), double(c.b), 1.0};
}

// Straight (not premultiplied) RGBA, rows top first.
std::vector<std::uint8_t> Draw(int size) {
  constexpr int kSamples = 8;
  std::vector<std::uint8_t> pixels(std::size_t(size) * size * 4);
  const double scale = 256.0 / size;
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Rgba sum;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const Rgba s =
              Sample((px + (sx + 0.5) / kSamples) * scale, (py + (sy + 0.5) / kSamples) * scale);
          sum.r += s.r * s.a;
          sum.g += s.g * s.a;
          sum.b += s.b * s.a;
          sum.a += s.a;
        }
      }
      std::uint8_t* p = &pixels[(std::size_t(py) * size + px) * 4];
      if (sum.a > 0) {
        p[0] = static_cast<std::uint8_t>(std::lround(sum.r / sum.a));
        p[1] = static_cast<std::uint8_t>(std::lround(sum.g / sum.a));
        p[2] = static_cast<std::uint8_t>(std::lround(sum.b / sum.a));
      }
      p[3] = static_cast<std::uint8_t>(std::lround(255.0 * sum.a / (kSamples * kSamples)));
    }
  }
  return pixels;
}

// --- byte output ---

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Put32BigEndian(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((v >> shift) & 0xFF);
}

// --- palettes for the 16- and 256-colour images ---

std::vector<Colour> Palette16() {
  return {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
          {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
          {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
          {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
}

std::vector<Colour> Palette256() {
  std::vector<Colour> palette = Palette16();
  for (int r = 0; r < 6; ++r) {
    for (int g = 0; g < 6; ++g) {
      for (int b = 0; b < 6; ++b) {
        palette.push_back({std::uint8_t(r * 51), std::uint8_t(g * 51), std::uint8_t(b * 51)});
      }
    }
  }
  for (int i = 0; palette.size() < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(8 + i * 10);
    palette.push_back({v, v, v});
  }
  return palette;
}

std::uint8_t Nearest(const std::vector<Colour>& palette, const std::uint8_t* p) {
  std::size_t best = 0;
  long bestDistance = 1L << 30;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const long dr = long(palette[i].r) - p[0], dg = long(palette[i].g) - p[1],
               db = long(palette[i].b) - p[2];
    const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return static_cast<std::uint8_t>(best);
}

// An icon image as Windows stores it below 256 pixels: a BITMAPINFOHEADER of double height, the
// palette, the colour bitmap and the transparency mask, rows bottom first and padded to 4 bytes.
std::vector<std::uint8_t> IconBitmap(const std::vector<std::uint8_t>& rgba, int size, int bits) {
  std::vector<std::uint8_t> out;
  const std::vector<Colour> palette = bits == 4   ? Palette16()
                                      : bits == 8 ? Palette256()
                                                  : std::vector<Colour>{};
  const int rowBytes = ((size * bits + 31) / 32) * 4;
  const int maskRowBytes = ((size + 31) / 32) * 4;
  Put32(out, 40);
  Put32(out, size);
  Put32(out, size * 2);
  Put16(out, 1);
  Put16(out, bits);
  Put32(out, 0);  // BI_RGB
  Put32(out, std::uint32_t(rowBytes + maskRowBytes) * size);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(palette.size()));
  Put32(out, 0);
  for (const Colour& c : palette) {
    out.insert(out.end(), {c.b, c.g, c.r, 0});
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(rowBytes);
    for (int x = 0; x < size; ++x) {
      const std::uint8_t* p = &rgba[(std::size_t(y) * size + x) * 4];
      if (bits == 32) {
        row[x * 4 + 0] = p[2];
        row[x * 4 + 1] = p[1];
        row[x * 4 + 2] = p[0];
        row[x * 4 + 3] = p[3];
        continue;
      }
      const std::uint8_t index = p[3] < 128 ? 0 : Nearest(palette, p);
      if (bits == 8) {
        row[x] = index;
      } else {
        row[x / 2] |= (x % 2 == 0) ? std::uint8_t(index << 4) : index;
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(maskRowBytes);
    for (int x = 0; x < size; ++x) {
      if (rgba[(std::size_t(y) * size + x) * 4 + 3] < 128) row[x / 8] |= 0x80 >> (x % 8);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// --- PNG for the 256-pixel image ---

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// Writes bits least significant first, as deflate packs them.
struct BitWriter {
  std::vector<std::uint8_t> bytes;
  std::uint32_t buffer = 0;
  int count = 0;
  void Bits(std::uint32_t value, int n) {
    buffer |= value << count;
    count += n;
    while (count >= 8) {
      bytes.push_back(buffer & 0xFF);
      buffer >>= 8;
      count -= 8;
    }
  }
  // Huffman codes go most significant bit first.
  void Code(std::uint32_t code, int n) {
    std::uint32_t reversed = 0;
    for (int i = 0; i < n; ++i) reversed |= ((code >> i) & 1) << (n - 1 - i);
    Bits(reversed, n);
  }
  void Flush() {
    if (count > 0) bytes.push_back(buffer & 0xFF);
    buffer = 0;
    count = 0;
  }
};

void Literal(BitWriter& w, unsigned value) {  // the fixed literal/length code
  if (value < 144) {
    w.Code(0x30 + value, 8);
  } else if (value < 256) {
    w.Code(0x190 + value - 144, 9);
  } else if (value < 280) {
    w.Code(value - 256, 7);
  } else {
    w.Code(0xC0 + value - 280, 8);
  }
}

// A run of `length` (3..258) bytes repeating the byte before: distance 1.
void Run(BitWriter& w, unsigned length) {
  static constexpr unsigned kBase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr int kExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  int code = 28;
  while (kBase[code] > length) --code;
  Literal(w, 257 + code);
  w.Bits(length - kBase[code], kExtra[code]);
  w.Code(0, 5);  // distance code 0: distance 1
}

// zlib stream of one fixed-Huffman deflate block, with runs of repeated bytes as matches.
std::vector<std::uint8_t> Deflate(const std::vector<std::uint8_t>& data) {
  BitWriter w;
  w.bytes = {0x78, 0x01};
  w.Bits(1, 1);  // last block
  w.Bits(1, 2);  // fixed codes
  std::size_t i = 0;
  while (i < data.size()) {
    std::size_t run = 0;
    if (i > 0) {
      while (i + run < data.size() && run < 258 && data[i + run] == data[i - 1]) ++run;
    }
    if (run >= 3) {
      Run(w, static_cast<unsigned>(run));
      i += run;
    } else {
      Literal(w, data[i++]);
    }
  }
  Literal(w, 256);
  w.Flush();
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  Put32BigEndian(w.bytes, (b << 16) | a);
  return w.bytes;
}

void Chunk(std::vector<std::uint8_t>& png, const char* type,
           const std::vector<std::uint8_t>& data) {
  Put32BigEndian(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  Put32BigEndian(png, Crc32(&png[start], png.size() - start));
}

std::vector<std::uint8_t> Png(const std::vector<std::uint8_t>& rgba, int size) {
  // Each row with the "Sub" filter: flat runs become zeros, which the runs above pack well.
  std::vector<std::uint8_t> raw;
  for (int y = 0; y < size; ++y) {
    raw.push_back(1);
    for (int x = 0; x < size * 4; ++x) {
      const std::uint8_t here = rgba[std::size_t(y) * size * 4 + x];
      const std::uint8_t left = x >= 4 ? rgba[std::size_t(y) * size * 4 + x - 4] : 0;
      raw.push_back(static_cast<std::uint8_t>(here - left));
    }
  }
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  Put32BigEndian(header, size);
  Put32BigEndian(header, size);
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", Deflate(raw));
  Chunk(png, "IEND", {});
  return png;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon <output.ico>\n");
    return 64;
  }
  struct Image {
    int size;
    int bits;
    std::vector<std::uint8_t> data;
  };
  std::vector<Image> images;
  for (int size : {48, 32, 24, 16}) {
    const std::vector<std::uint8_t> rgba = Draw(size);
    for (int bits : {4, 8, 32}) images.push_back({size, bits, IconBitmap(rgba, size, bits)});
  }
  images.push_back({256, 32, Png(Draw(256), 256)});

  std::vector<std::uint8_t> ico;
  Put16(ico, 0);
  Put16(ico, 1);  // an icon
  Put16(ico, static_cast<unsigned>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (const Image& image : images) {
    ico.push_back(image.size >= 256 ? 0 : image.size);
    ico.push_back(image.size >= 256 ? 0 : image.size);
    ico.push_back(image.bits == 4 ? 16 : 0);
    ico.push_back(0);
    Put16(ico, 1);
    Put16(ico, image.bits);
    Put32(ico, static_cast<std::uint32_t>(image.data.size()));
    Put32(ico, offset);
    offset += static_cast<std::uint32_t>(image.data.size());
  }
  for (const Image& image : images) ico.insert(ico.end(), image.data.begin(), image.data.end());

  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
  if (!out) {
    std::fprintf(stderr, "make_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
