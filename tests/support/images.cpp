#include "tests/support/images.h"

#include <jpeglib.h>
#include <png.h>

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
