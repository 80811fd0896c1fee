#include "tools/maker/demo_images.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace halvex::maker {

namespace {

struct Colour {
    double r, g, b;
};

Colour fromRGB(std::uint32_t rgb) {
    return {((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0, (rgb & 0xff) / 255.0};
}

Colour mix(Colour a, Colour b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// An RGBA canvas drawn with signed-distance shapes, so edges come out smooth without a raster library.
class Canvas {
  public:
    Canvas(unsigned width, unsigned height)
        : width_(width), height_(height), pixels_(width * height * 4, 0) {}

    // `distance(x, y)` is the signed distance to the shape's edge (negative inside); only pixels within
    // the box [left, right) × [top, bottom) are visited.
    template <typename Distance, typename Paint>
    void fill(Distance distance, Paint paint, double left = 0, double top = 0, double right = 1e9,
              double bottom = 1e9) {
        const auto first = [](double v) { return static_cast<unsigned>(std::max(0.0, std::floor(v) - 1)); };
        const unsigned x0 = first(left), y0 = first(top);
        const unsigned x1 = static_cast<unsigned>(std::clamp(std::ceil(right) + 1, 0.0, double(width_)));
        const unsigned y1 = static_cast<unsigned>(std::clamp(std::ceil(bottom) + 1, 0.0, double(height_)));
        for (unsigned y = y0; y < y1; ++y) {
            for (unsigned x = x0; x < x1; ++x) {
                const double px = x + 0.5;
                const double py = y + 0.5;
                const double alpha = std::clamp(0.5 - distance(px, py), 0.0, 1.0);
                if (alpha > 0) blend(x, y, paint(px, py), alpha);
            }
        }
    }

    void roundedRectangle(double left, double top, double right, double bottom, double radius,
                          Colour colour) {
        fill([&](double x, double y) { return roundedBoxDistance(x, y, left, top, right, bottom, radius); },
             [&](double, double) { return colour; }, left, top, right, bottom);
    }

    void circle(double cx, double cy, double radius, Colour colour) {
        fill([&](double x, double y) { return std::hypot(x - cx, y - cy) - radius; },
             [&](double, double) { return colour; }, cx - radius, cy - radius, cx + radius, cy + radius);
    }

    void ring(double cx, double cy, double radius, double thickness, Colour colour) {
        const double outer = radius + thickness;
        fill(
            [&](double x, double y) { return std::abs(std::hypot(x - cx, y - cy) - radius) - thickness / 2; },
            [&](double, double) { return colour; }, cx - outer, cy - outer, cx + outer, cy + outer);
    }

    void line(double x1, double y1, double x2, double y2, double thickness, Colour colour) {
        fill(
            [&](double x, double y) {
                const double dx = x2 - x1, dy = y2 - y1;
                const double t = std::clamp(((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
                return std::hypot(x - (x1 + t * dx), y - (y1 + t * dy)) - thickness / 2;
            },
            [&](double, double) { return colour; }, std::min(x1, x2) - thickness,
            std::min(y1, y2) - thickness, std::max(x1, x2) + thickness, std::max(y1, y2) + thickness);
    }

    static double roundedBoxDistance(double x, double y, double left, double top, double right, double bottom,
                                     double radius) {
        const double cx = (left + right) / 2, cy = (top + bottom) / 2;
        const double hx = (right - left) / 2 - radius, hy = (bottom - top) / 2 - radius;
        const double qx = std::abs(x - cx) - hx, qy = std::abs(y - cy) - hy;
        return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - radius;
    }

    std::string png() const {
        std::string bytes;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
            png_destroy_write_struct(&png, &info);
            throw std::runtime_error("PNG could not be written");
        }
        png_set_write_fn(
            png, &bytes,
            [](png_structp p, png_bytep data, png_size_t length) {
                static_cast<std::string*>(png_get_io_ptr(p))
                    ->append(reinterpret_cast<const char*>(data), length);
            },
            [](png_structp) {});
        png_set_IHDR(png, info, width_, height_, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (unsigned y = 0; y < height_; ++y)
            png_write_row(png, const_cast<png_bytep>(pixels_.data() + y * width_ * 4));
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        return bytes;
    }

  private:
    void blend(unsigned x, unsigned y, Colour colour, double alpha) {
        auto* pixel = &pixels_[(y * width_ + x) * 4];
        const double below = pixel[3] / 255.0;
        const double out = alpha + below * (1 - alpha);
        const auto channel = [&](int index, double value) {
            const double mixed = (value * alpha + pixel[index] / 255.0 * below * (1 - alpha)) / out;
            pixel[index] = static_cast<unsigned char>(std::lround(std::clamp(mixed, 0.0, 1.0) * 255));
        };
        channel(0, colour.r);
        channel(1, colour.g);
        channel(2, colour.b);
        pixel[3] = static_cast<unsigned char>(std::lround(out * 255));
    }

    unsigned width_, height_;
    std::vector<unsigned char> pixels_;
};

const Colour ink = fromRGB(0xe8eaed);
const Colour panel = fromRGB(0x1b2026);
const Colour recess = fromRGB(0x0d1013);

}  // namespace

std::string demoIcon(std::uint32_t accentRGB, unsigned seed) {
    constexpr double size = 256;
    Canvas canvas(256, 256);
    const Colour accent = fromRGB(accentRGB);
    const Colour deep = mix(accent, recess, 0.75);
    canvas.fill(
        [&](double x, double y) { return Canvas::roundedBoxDistance(x, y, 8, 8, 248, 248, 56); },
        [&](double x, double y) { return mix(accent, deep, std::clamp((x + y) / (2 * size), 0.0, 1.0)); });
    // A knob: ring, cap and pointer at an angle that differs per product.
    const double angle = -2.4 + (seed % 7) * 0.8;
    canvas.ring(128, 128, 74, 10, mix(ink, accent, 0.25));
    canvas.circle(128, 128, 52, mix(recess, accent, 0.2));
    canvas.line(128, 128, 128 + 44 * std::sin(angle), 128 - 44 * std::cos(angle), 12, ink);
    canvas.circle(128, 128, 9, ink);
    return canvas.png();
}

std::string demoInterface(std::uint32_t accentRGB, unsigned seed) {
    Canvas canvas(960, 600);
    const Colour accent = fromRGB(accentRGB);
    canvas.roundedRectangle(0, 0, 960, 600, 24, panel);
    canvas.roundedRectangle(0, 0, 960, 72, 24, mix(panel, accent, 0.35));
    canvas.roundedRectangle(0, 48, 960, 72, 0, mix(panel, accent, 0.35));
    canvas.roundedRectangle(32, 24, 232, 48, 8, mix(ink, accent, 0.3));
    // Four knobs with their value arcs drawn as dots, and two meters.
    for (int index = 0; index < 4; ++index) {
        const double cx = 180 + index * 200, cy = 260;
        const double value = ((seed + index * 3) % 9) / 8.0;
        for (int dot = 0; dot <= 20; ++dot) {
            const double a = -2.4 + dot * 4.8 / 20;
            const bool lit = dot <= value * 20;
            canvas.circle(cx + 86 * std::sin(a), cy - 86 * std::cos(a), 4,
                          lit ? accent : mix(panel, ink, 0.15));
        }
        canvas.circle(cx, cy, 64, recess);
        canvas.ring(cx, cy, 64, 3, mix(panel, ink, 0.25));
        const double a = -2.4 + value * 4.8;
        canvas.line(cx, cy, cx + 48 * std::sin(a), cy - 48 * std::cos(a), 8, ink);
        canvas.roundedRectangle(cx - 44, cy + 100, cx + 44, cy + 116, 6, mix(panel, ink, 0.2));
    }
    for (int meter = 0; meter < 2; ++meter) {
        const double left = 60 + meter * 40;
        canvas.roundedRectangle(left, 430, left + 24, 560, 6, recess);
        const double level = 0.45 + ((seed + meter) % 5) * 0.1;
        canvas.roundedRectangle(left, 560 - 130 * level, left + 24, 560, 6, accent);
    }
    canvas.roundedRectangle(180, 470, 900, 530, 12, recess);
    for (int bar = 0; bar < 36; ++bar) {
        const double height = 8 + 40 * std::abs(std::sin(seed * 0.7 + bar * 0.45));
        canvas.roundedRectangle(192 + bar * 19.5, 500 - height / 2, 204 + bar * 19.5, 500 + height / 2, 4,
                                mix(accent, ink, bar % 5 == 0 ? 0.4 : 0.0));
    }
    return canvas.png();
}

}  // namespace halvex::maker
