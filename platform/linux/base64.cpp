#include "platform/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

namespace halvex::platform {

std::string base64Encode(std::string_view bytes) {
    std::string result(4 * ((bytes.size() + 2) / 3), '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(result.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    const bool valid = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
               c == '/' || c == '=';
    });
    if (!valid) return std::nullopt;
    const auto padding = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
    if (padding > 2 || text.substr(0, text.size() - padding).find('=') != std::string_view::npos)
        return std::nullopt;
    std::string result(3 * (text.size() / 4), '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(result.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) return std::nullopt;
    result.resize(static_cast<std::size_t>(length) - padding);
    // Re-encoding proves the text was canonical (no stray bits in the last character).
    if (base64Encode(result) != text) return std::nullopt;
    return result;
}

std::string base64URLEncode(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    while (!text.empty() && text.back() == '=') text.pop_back();
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<std::string> base64URLDecode(std::string_view text) {
    if (text.find_first_of("+/=") != std::string_view::npos) return std::nullopt;
    std::string standard(text);
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    if (standard.size() % 4 == 1) return std::nullopt;
    while (standard.size() % 4 != 0) standard.push_back('=');
    return base64Decode(standard);
}

}  // namespace halvex::platform
