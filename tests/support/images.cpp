#include "tests/support/images.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace halvex::test {

namespace {

void appendPng(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

void flushPng(png_structp) {}

}  // namespace

std::string pngImage(unsigned width, unsigned height) {
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("PNG could not be written");
    }
    png_set_write_fn(png, &bytes, appendPng, flushPng);
    // Wider than the reader's limit on purpose in some tests: the writer must not refuse it.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(width, 0x80);
    for (unsigned line = 0; line < height; ++line) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::string pngImage(unsigned width, unsigned height, PngLayout layout, bool interlaced,
                     const std::function<Pixel(unsigned x, unsigned y)>& pixel) {
    std::vector<Pixel> palette;
    std::vector<std::vector<png_byte>> rows(height);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const auto [red, green, blue, alpha] = pixel(x, y);
            auto& row = rows[y];
            switch (layout) {
                case PngLayout::grey:
                    row.push_back(red);
                    break;
                case PngLayout::greyAlpha:
                    row.insert(row.end(), {red, alpha});
                    break;
                case PngLayout::palette: {
                    const Pixel opaque{red, green, blue, 255};
                    auto found = std::find(palette.begin(), palette.end(), opaque);
                    if (found == palette.end()) found = palette.insert(palette.end(), opaque);
                    row.push_back(static_cast<png_byte>(found - palette.begin()));
                    break;
                }
                case PngLayout::rgb:
                    row.insert(row.end(), {red, green, blue});
                    break;
                case PngLayout::rgba:
                    row.insert(row.end(), {red, green, blue, alpha});
                    break;
                case PngLayout::rgb16:
                    row.insert(row.end(), {red, red, green, green, blue, blue});
                    break;
            }
        }
    }
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("PNG could not be written");
    }
    png_set_write_fn(png, &bytes, appendPng, flushPng);
    png_set_compression_level(png, 1);
    const int colourTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_PALETTE,
                               PNG_COLOR_TYPE_RGB,  PNG_COLOR_TYPE_RGB_ALPHA,  PNG_COLOR_TYPE_RGB};
    png_set_IHDR(png, info, width, height, layout == PngLayout::rgb16 ? 16 : 8,
                 colourTypes[static_cast<int>(layout)], interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> colours;
    for (const auto& colour : palette) colours.push_back({colour[0], colour[1], colour[2]});
    if (layout == PngLayout::palette)
        png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::string jpegImage(unsigned width, unsigned height) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(width, 0x40);
    while (info.next_scanline < info.image_height) {
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    jpeg_destroy_compress(&info);
    free(buffer);
    return bytes;
}

}  // namespace halvex::test
