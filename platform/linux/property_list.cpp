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
        case PLIST_STRING:
        case PLIST_KEY: {
            char* value = nullptr;
            plist_get_string_val(node, &value);
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
                const auto seconds = static_cast<std::int32_t>(item.secondsSinceReferenceDate);
                const auto micro =
                    static_cast<std::int32_t>((item.secondsSinceReferenceDate - seconds) * 1e6);
                return plist_new_date(seconds, micro);
            } else if constexpr (std::is_same_v<T, PropertyValue::Array>) {
                plist_t array = plist_new_array();
                for (const auto& element : item) plist_array_append_item(array, toPlist(element));
                return array;
            } else if constexpr (std::is_same_v<T, PropertyValue::Dictionary>) {
                plist_t dictionary = plist_new_dict();
                for (const auto& [key, element] : item)
                    plist_dict_set_item(dictionary, key.c_str(), toPlist(element));
                return dictionary;
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
