#include "platform/image_validation.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace halvex::platform {

namespace {

bool sideAllowed(unsigned long side) {
    return side >= 1 && side <= maximumImageSide;
}

// Receives the decoded image: first its size, then its rows of RGBA pixels (straight alpha), each with
// the columns it carries (an interlaced PNG delivers every row once per pass, with that pass's columns).
// `size` is told how far the decoder could scale down while decoding (1, 2, 4 or 8) and answers how far
// it shall; the rows then have the reduced size, rounded up.
struct RowSink {
    std::function<unsigned(unsigned width, unsigned height, unsigned possibleReduction)> size;
    std::function<void(unsigned y, const std::uint8_t* rgba, unsigned firstColumn, unsigned columnStep)> row;
};

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

// Where each of the seven Adam7 passes starts and how far it steps, in rows and columns.
constexpr unsigned adam7RowStart[] = {0, 0, 4, 0, 2, 0, 1};
constexpr unsigned adam7RowStep[] = {8, 8, 8, 4, 4, 2, 2};
constexpr unsigned adam7ColumnStart[] = {0, 4, 0, 2, 0, 1, 0};
constexpr unsigned adam7ColumnStep[] = {8, 8, 4, 4, 2, 2, 1};

// What the decoders change after their setjmp lives here, on the heap: after a longjmp only the pointer,
// set before, is read again.
struct PngState {
    PngSource source;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<std::uint8_t> row;
    ~PngState() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// libpng reports errors by longjmp; nothing with a destructor is created between the setjmp and the end.
bool readPngRows(std::string_view bytes, const RowSink& sink) {
    const auto state = std::make_unique<PngState>();
    state->source = {bytes, 0};
    state->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietPngWarning);
    if (state->png == nullptr) return false;
    state->info = png_create_info_struct(state->png);
    if (state->info == nullptr) return false;
    if (setjmp(png_jmpbuf(state->png))) return false;
    png_structp png = state->png;
    png_infop info = state->info;
    png_set_read_fn(png, &state->source, readPng);
    png_set_user_limits(png, maximumImageSide, maximumImageSide);
    png_set_chunk_malloc_max(png, 8 * 1024 * 1024);
    png_read_info(png, info);
    const auto width = png_get_image_width(png, info);
    const auto height = png_get_image_height(png, info);
    if (!sideAllowed(width) || !sideAllowed(height)) png_error(png, "dimensions");
    const bool decoding = static_cast<bool>(sink.row);
    png_set_expand(png);
    png_set_strip_16(png);
    if (decoding) {
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const auto rowBytes = png_get_rowbytes(png, info);
    if (decoding && rowBytes != std::size_t{width} * 4) png_error(png, "row layout");
    if (sink.size) sink.size(width, height, 1);
    state->row.resize(rowBytes);
    const bool interlaced = passes > 1;
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 line = 0; line < height; ++line) {
            png_read_row(png, state->row.data(), nullptr);
            if (!decoding) continue;
            if (!interlaced) {
                sink.row(line, state->row.data(), 0, 1);
            } else if (line % adam7RowStep[pass] == adam7RowStart[pass] && adam7ColumnStart[pass] < width) {
                sink.row(line, state->row.data(), adam7ColumnStart[pass], adam7ColumnStep[pass]);
            }
        }
    }
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

struct JpegState {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    bool created = false;
    ~JpegState() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

bool readJpegRows(std::string_view bytes, const RowSink& sink) {
    const auto state = std::make_unique<JpegState>();
    auto& info = state->info;
    info.err = jpeg_std_error(&state->errors.manager);
    state->errors.manager.error_exit = jpegFailed;
    state->errors.manager.emit_message = jpegQuiet;
    if (setjmp(state->errors.jump)) return false;
    jpeg_create_decompress(&info);
    state->created = true;
    // Progressive images buffer their coefficients; past this they fail instead of growing further.
    info.mem->max_memory_to_use = 256L * 1024 * 1024;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || !sideAllowed(info.image_width) ||
        !sideAllowed(info.image_height)) {
        return false;
    }
    // Checking keeps the file's own colours, so that any JPEG a browser shows passes.
    if (sink.row) info.out_color_space = JCS_EXT_RGBA;
    info.scale_num = 1;
    info.scale_denom = sink.size ? sink.size(info.image_width, info.image_height, 8) : 1;
    jpeg_start_decompress(&info);
    JSAMPARRAY row =
        (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                  info.output_width * static_cast<JDIMENSION>(info.output_components), 1);
    while (info.output_scanline < info.output_height) {
        const auto line = info.output_scanline;
        jpeg_read_scanlines(&info, row, 1);
        if (sink.row) sink.row(line, row[0], 0, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

bool isPng(std::string_view bytes) {
    return bytes.size() >= 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0;
}

bool isJpeg(std::string_view bytes) {
    return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF;
}

bool readRows(std::string_view bytes, const RowSink& sink) {
    if (bytes.size() > maximumImageBytes) return false;
    if (isPng(bytes)) return readPngRows(bytes, sink);
    if (isJpeg(bytes)) return readJpegRows(bytes, sink);
    return false;
}

// Sums of premultiplied pixels per output pixel; each source pixel falls into exactly one. A box of at
// least 16 pixels a side keeps a sum of at most 2048 × 2048 pixels within 32 bits.
class BoxScaler {
  public:
    BoxScaler(unsigned boxWidth, unsigned boxHeight)
        : boxWidth_(std::max(boxWidth, 16u)), boxHeight_(std::max(boxHeight, 16u)) {}

    // The output size for an image of this size, and the largest power-of-two reduction (up to what the
    // decoder can do) it may apply first without going below that size.
    unsigned start(unsigned width, unsigned height, unsigned possibleReduction) {
        const double scale = std::min({1.0, double(boxWidth_) / width, double(boxHeight_) / height});
        width_ = std::max(1u, static_cast<unsigned>(std::lround(width * scale)));
        height_ = std::max(1u, static_cast<unsigned>(std::lround(height * scale)));
        unsigned reduction = 1;
        while (reduction < possibleReduction && width / (reduction * 2) >= width_ &&
               height / (reduction * 2) >= height_)
            reduction *= 2;
        sourceWidth_ = (width + reduction - 1) / reduction;
        sourceHeight_ = (height + reduction - 1) / reduction;
        sums_.assign(std::size_t{width_} * height_ * 4, 0);
        return reduction;
    }

    void add(unsigned y, const std::uint8_t* rgba, unsigned firstColumn, unsigned columnStep) {
        if (y >= sourceHeight_) return;
        auto* row = sums_.data() + std::size_t{outputRow(y)} * width_ * 4;
        for (unsigned x = firstColumn; x < sourceWidth_; x += columnStep) {
            const auto* pixel = rgba + std::size_t{x} * 4;
            const std::uint32_t alpha = pixel[3];
            auto* sum = row + std::size_t{outputColumn(x)} * 4;
            sum[0] += (pixel[0] * alpha + 127) / 255;
            sum[1] += (pixel[1] * alpha + 127) / 255;
            sum[2] += (pixel[2] * alpha + 127) / 255;
            sum[3] += alpha;
        }
    }

    DecodedImage finish() const {
        DecodedImage image{width_, height_, std::vector<std::uint8_t>(sums_.size())};
        for (unsigned y = 0; y < height_; ++y) {
            const std::uint32_t rows = countOf(y, height_, sourceHeight_);
            for (unsigned x = 0; x < width_; ++x) {
                const std::uint32_t count = rows * countOf(x, width_, sourceWidth_);
                const auto offset = (std::size_t{y} * width_ + x) * 4;
                for (int channel = 0; channel < 4; ++channel) {
                    image.pixels[offset + channel] =
                        static_cast<std::uint8_t>((sums_[offset + channel] + count / 2) / count);
                }
            }
        }
        return image;
    }

  private:
    unsigned outputColumn(unsigned x) const {
        return static_cast<unsigned>(std::uint64_t{x} * width_ / sourceWidth_);
    }
    unsigned outputRow(unsigned y) const {
        return static_cast<unsigned>(std::uint64_t{y} * height_ / sourceHeight_);
    }
    // How many of `sourceSide` source positions map to output position `index` of `side`.
    static std::uint32_t countOf(unsigned index, unsigned side, unsigned sourceSide) {
        const auto first = [&](unsigned output) {
            return static_cast<unsigned>((std::uint64_t{output} * sourceSide + side - 1) / side);
        };
        return first(index + 1) - first(index);
    }

    unsigned boxWidth_;
    unsigned boxHeight_;
    unsigned width_ = 0;
    unsigned height_ = 0;
    unsigned sourceWidth_ = 0;
    unsigned sourceHeight_ = 0;
    std::vector<std::uint32_t> sums_;
};

}  // namespace

bool validImage(std::string_view bytes) {
    return readRows(bytes, {});
}

std::optional<DecodedImage> decodeImageToFit(std::string_view bytes, unsigned boxWidth, unsigned boxHeight) {
    BoxScaler scaler(boxWidth, boxHeight);
    const RowSink sink{[&](unsigned width, unsigned height, unsigned possibleReduction) {
                           return scaler.start(width, height, possibleReduction);
                       },
                       [&](unsigned y, const std::uint8_t* rgba, unsigned first, unsigned step) {
                           scaler.add(y, rgba, first, step);
                       }};
    if (!readRows(bytes, sink)) return std::nullopt;
    return scaler.finish();
}

}  // namespace halvex::platform
