#include "platform/image_validation.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace halvex::platform {

namespace {

bool sideAllowed(unsigned long side) {
    return side >= 1 && side <= maximumImageSide;
}

struct PngSource {
    std::string_view bytes;
    std::size_t offset = 0;
};

void readPng(png_structp png, png_bytep data, png_size_t length) {
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (source->offset + length > source->bytes.size()) png_error(png, "truncated");
    std::memcpy(data, source->bytes.data() + source->offset, length);
    source->offset += length;
}

void quietPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp; nothing with a destructor lives across the setjmp below.
bool validPng(std::string_view bytes) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietPngWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    PngSource source{bytes, 0};
    png_bytep row = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        png_free(png, row);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, readPng);
    png_set_user_limits(png, maximumImageSide, maximumImageSide);
    png_set_chunk_malloc_max(png, 8 * 1024 * 1024);
    png_read_info(png, info);
    const auto width = png_get_image_width(png, info);
    const auto height = png_get_image_height(png, info);
    if (!sideAllowed(width) || !sideAllowed(height)) png_error(png, "dimensions");
    png_set_expand(png);
    png_set_strip_16(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    row = static_cast<png_bytep>(png_malloc(png, png_get_rowbytes(png, info)));
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 line = 0; line < height; ++line) png_read_row(png, row, nullptr);
    }
    png_free(png, row);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegFailed(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}
void jpegQuiet(j_common_ptr, int) {}

bool validJpeg(std::string_view bytes) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFailed;
    errors.manager.emit_message = jpegQuiet;
    JSAMPARRAY row = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    // Progressive images buffer their coefficients; past this they fail instead of growing further.
    info.mem->max_memory_to_use = 256L * 1024 * 1024;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || !sideAllowed(info.image_width) ||
        !sideAllowed(info.image_height)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                    info.output_width * static_cast<JDIMENSION>(info.output_components), 1);
    while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, row, 1);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

bool validImage(std::string_view bytes) {
    if (bytes.size() > maximumImageBytes) return false;
    if (bytes.size() >= 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0) {
        return validPng(bytes);
    }
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF) {
        return validJpeg(bytes);
    }
    return false;
}

}  // namespace halvex::platform
