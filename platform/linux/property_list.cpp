#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "platform/file_io.h"

namespace halvex::platform {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Deeper nesting than this is no bundle's Info.plist; refusing it keeps the recursion bounded.
constexpr int maximumDepth = 64;

PropertyValue convert(plist_t node, int depth);

PropertyValue::Dictionary convertDictionary(plist_t node, int depth) {
    PropertyValue::Dictionary result;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    std::unique_ptr<void, decltype(&std::free)> iteratorGuard(iterator, &std::free);
    while (true) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        if (key == nullptr) break;
        std::unique_ptr<char, decltype(&std::free)> keyGuard(key, &std::free);
        if (value == nullptr) throw PropertyListError("The property list has a key without a value.");
        result.insert_or_assign(std::string(key), convert(value, depth + 1));
    }
    return result;
}

PropertyValue convert(plist_t node, int depth) {
    if (depth > maximumDepth) throw PropertyListError("The property list is nested too deeply.");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PropertyValue(value != 0);
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // Negative integers are stored as their two's complement.
            return PropertyValue(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PropertyValue(value);
        }
        case PLIST_STRING: {
            // Binary lists carry a length, so a string may hold NUL characters; the library's copying
            // accessor asserts on those. No bundle text has one, and cutting it short would change its
            // meaning, so such a list is refused.
            std::uint64_t length = 0;
            const char* value = plist_get_string_ptr(node, &length);
            const std::string text(value != nullptr ? value : "", value != nullptr ? length : 0);
            if (text.find('\0') != std::string::npos)
                throw PropertyListError("The property list holds a text with a NUL character.");
            return PropertyValue(text);
        }
        case PLIST_KEY: {
            char* value = nullptr;
            plist_get_key_val(node, &value);
            std::unique_ptr<char, decltype(&std::free)> guard(value, &std::free);
            return PropertyValue(std::string(value != nullptr ? value : ""));
        }
        case PLIST_DATA: {
            char* value = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &value, &length);
            std::unique_ptr<char, decltype(&std::free)> guard(value, &std::free);
            PropertyValue::Data data(value, value + (value != nullptr ? length : 0));
            return PropertyValue(std::move(data));
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0;
            std::int32_t microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            return PropertyValue(PropertyValue::Date{seconds + microseconds / 1e6});
        }
        case PLIST_ARRAY: {
            PropertyValue::Array result;
            const std::uint32_t count = plist_array_get_size(node);
            result.reserve(count);
            for (std::uint32_t index = 0; index < count; ++index) {
                result.push_back(convert(plist_array_get_item(node, index), depth + 1));
            }
            return PropertyValue(std::move(result));
        }
        case PLIST_DICT:
            return PropertyValue(convertDictionary(node, depth));
        default:
            return PropertyValue(PropertyValue::Unsupported{});
    }
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < width; ++index)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + index]);
    return value;
}

// Whether a binary list holds a text object (key or string) with a NUL character. The library asserts when
// it copies such a key, so these lists are refused before it builds a tree. Malformed tables are left for
// the library to refuse.
bool binaryListHasNulText(std::string_view bytes) {
    constexpr std::size_t trailerBytes = 32;
    if (!bytes.starts_with("bplist00") || bytes.size() < 8 + trailerBytes) return false;
    const std::size_t trailer = bytes.size() - trailerBytes;
    const std::size_t offsetWidth = static_cast<unsigned char>(bytes[trailer + 6]);
    const std::uint64_t objects = bigEndian(bytes, trailer + 8, 8);
    const std::uint64_t table = bigEndian(bytes, trailer + 24, 8);
    if (offsetWidth < 1 || offsetWidth > 8 || table >= trailer || objects > (trailer - table) / offsetWidth)
        return false;
    for (std::uint64_t object = 0; object < objects; ++object) {
        const std::uint64_t offset = bigEndian(bytes, table + object * offsetWidth, offsetWidth);
        if (offset >= trailer) continue;
        const auto marker = static_cast<unsigned char>(bytes[offset]);
        const unsigned type = marker >> 4;
        if (type != 0x5 && type != 0x6) continue;
        std::uint64_t count = marker & 0x0F;
        std::uint64_t start = offset + 1;
        if (count == 0x0F) {
            if (start >= trailer) continue;
            const auto sizeMarker = static_cast<unsigned char>(bytes[start]);
            const std::size_t width = std::size_t{1} << (sizeMarker & 0x0F);
            if ((sizeMarker >> 4) != 0x1 || width > 8 || start + 1 + width > trailer) continue;
            count = bigEndian(bytes, start + 1, width);
            start += 1 + width;
        }
        const std::uint64_t unit = type == 0x6 ? 2 : 1;
        if (count > (trailer - start) / unit) continue;
        for (std::uint64_t index = 0; index < count; ++index) {
            const auto text = bytes.substr(start + index * unit, unit);
            if (text.find_first_not_of('\0') == std::string_view::npos) return true;
        }
    }
    return false;
}

plist_t toPlist(const PropertyValue& value) {
    return std::visit(
        [](const auto& item) -> plist_t {
            using T = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(item.c_str());
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<std::uint64_t>(item));
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(item);
            } else if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(item ? 1 : 0);
            } else if constexpr (std::is_same_v<T, PropertyValue::Data>) {
                return plist_new_data(reinterpret_cast<const char*>(item.data()), item.size());
            } else if constexpr (std::is_same_v<T, PropertyValue::Date>) {
                // The library keeps dates as 32-bit seconds; other values (also read from hostile lists) do
                // not fit.
                if (!(item.secondsSinceReferenceDate > -2147483648.0 &&
                      item.secondsSinceReferenceDate < 2147483647.0)) {
                    throw PropertyListError("The date cannot be written to a property list.");
                }
                const auto seconds = static_cast<std::int32_t>(item.secondsSinceReferenceDate);
                const auto micro =
                    static_cast<std::int32_t>((item.secondsSinceReferenceDate - seconds) * 1e6);
                return plist_new_date(seconds, micro);
            } else if constexpr (std::is_same_v<T, PropertyValue::Array>) {
                PlistPtr array(plist_new_array());
                for (const auto& element : item) plist_array_append_item(array.get(), toPlist(element));
                return array.release();
            } else if constexpr (std::is_same_v<T, PropertyValue::Dictionary>) {
                PlistPtr dictionary(plist_new_dict());
                for (const auto& [key, element] : item)
                    plist_dict_set_item(dictionary.get(), key.c_str(), toPlist(element));
                return dictionary.release();
            } else {
                throw PropertyListError("The value cannot be written to a property list.");
            }
        },
        value.storage());
}

}  // namespace

const PropertyValue* PropertyValue::member(std::string_view key) const {
    const auto* items = dictionary();
    if (items == nullptr) return nullptr;
    const auto found = items->find(std::string(key));
    return found == items->end() ? nullptr : &found->second;
}

std::optional<std::string> PropertyValue::stringMember(std::string_view key) const {
    const auto* value = member(key);
    if (value == nullptr || value->string() == nullptr) return std::nullopt;
    return *value->string();
}

PropertyValue parsePropertyList(std::string_view bytes) {
    if (bytes.size() > maximumPropertyListBytes) throw PropertyListError("The property list is too large.");
    if (bytes.empty()) throw PropertyListError("The property list is empty.");
    if (binaryListHasNulText(bytes))
        throw PropertyListError("The property list holds a text with a NUL character.");
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (root == nullptr) throw PropertyListError("The property list could not be read.");
    PlistPtr guard(root);
    return convert(root, 0);
}

PropertyValue readPropertyList(const std::filesystem::path& path) {
    return parsePropertyList(readFile(path, maximumPropertyListBytes));
}

std::string xmlPropertyList(const PropertyValue& value) {
    PlistPtr root(toPlist(value));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (xml == nullptr) throw PropertyListError("The property list could not be written.");
    std::string result(xml, length);
    plist_to_xml_free(xml);
    return result;
}

std::string binaryPropertyList(const PropertyValue& value) {
    PlistPtr root(toPlist(value));
    char* binary = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &binary, &length);
    if (binary == nullptr) throw PropertyListError("The property list could not be written.");
    std::string result(binary, length);
    plist_to_bin_free(binary);
    return result;
}

}  // namespace halvex::platform
