#pragma once

// Property lists (XML and binary) as bundles carry them. Every byte is treated as hostile: the input is
// bounded and any malformed document is a PropertyListError, never a crash.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace halvex::platform {

class PropertyListError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PropertyValue {
  public:
    using Array = std::vector<PropertyValue>;
    using Dictionary = std::map<std::string, PropertyValue>;
    using Data = std::vector<std::uint8_t>;
    struct Date {
        double secondsSinceReferenceDate = 0;
        bool operator==(const Date&) const = default;
    };
    // Types this system never reads (keyed-archive UIDs) are kept as Unsupported rather than refused.
    struct Unsupported {
        bool operator==(const Unsupported&) const = default;
    };
    using Storage =
        std::variant<Unsupported, std::string, std::int64_t, double, bool, Data, Date, Array, Dictionary>;

    PropertyValue() = default;
    template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, PropertyValue> && std::is_constructible_v<Storage, T>)
        PropertyValue(T&& value)
        : storage_(std::forward<T>(value)) {}

    const Storage& storage() const { return storage_; }

    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage_); }
    const bool* boolean() const { return std::get_if<bool>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }

    // The member `key` of a dictionary value; absent for a missing key or a value that is no dictionary.
    const PropertyValue* member(std::string_view key) const;
    // The member `key` when it is a string.
    std::optional<std::string> stringMember(std::string_view key) const;

    bool operator==(const PropertyValue&) const = default;

  private:
    Storage storage_;
};

// Largest property list read, far above any bundle's Info.plist.
inline constexpr std::size_t maximumPropertyListBytes = 4 * 1024 * 1024;

// Parses an XML or binary property list.
PropertyValue parsePropertyList(std::string_view bytes);

// Reads and parses a property list file; a missing or unreadable file is a std::system_error.
PropertyValue readPropertyList(const std::filesystem::path& path);

// Serialises as an XML property list (used for the bundle's own files and by the maker's tools).
std::string xmlPropertyList(const PropertyValue& value);
// Serialises as a binary property list.
std::string binaryPropertyList(const PropertyValue& value);

}  // namespace halvex::platform
