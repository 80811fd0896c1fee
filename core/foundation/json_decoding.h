#pragma once

// Strict decoding of the service's JSON records: members are matched exactly, a required member that is
// missing, null or of the wrong type fails, an optional one may be missing or null, unknown members are
// ignored. Every failure is a DecodingError naming the member (never its value).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/url.h"

namespace halvex {

class DecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses a whole body as JSON; a syntax error is a DecodingError.
nlohmann::json parseJSON(std::string_view body);

namespace json {

// How one JSON value becomes a T. Records provide `static T decode(const JSONObject&)`.
template <typename T>
struct Decoder;

class JSONObject {
  public:
    // Throws DecodingError unless `value` is an object.
    JSONObject(const nlohmann::json& value, std::string path);

    template <typename T>
    T required(const char* name) const {
        const auto* value = member(name);
        if (value == nullptr || value->is_null()) fail(name, "is missing");
        return Decoder<T>::decode(*value, pathOf(name));
    }

    template <typename T>
    std::optional<T> optional(const char* name) const {
        const auto* value = member(name);
        if (value == nullptr || value->is_null()) return std::nullopt;
        return Decoder<T>::decode(*value, pathOf(name));
    }

    const std::string& path() const { return path_; }

  private:
    const nlohmann::json* member(const char* name) const;
    std::string pathOf(const char* name) const;
    [[noreturn]] void fail(const char* name, const char* problem) const;

    const nlohmann::json& value_;
    std::string path_;
};

[[noreturn]] void failAt(const std::string& path, const char* problem);

template <>
struct Decoder<std::string> {
    static std::string decode(const nlohmann::json& value, const std::string& path);
};
template <>
struct Decoder<bool> {
    static bool decode(const nlohmann::json& value, const std::string& path);
};
template <>
struct Decoder<std::int64_t> {
    static std::int64_t decode(const nlohmann::json& value, const std::string& path);
};
template <>
struct Decoder<Url> {
    static Url decode(const nlohmann::json& value, const std::string& path);
};
template <typename T>
struct Decoder<std::vector<T>> {
    static std::vector<T> decode(const nlohmann::json& value, const std::string& path) {
        if (!value.is_array()) failAt(path, "is not an array");
        std::vector<T> result;
        result.reserve(value.size());
        for (std::size_t index = 0; index < value.size(); ++index) {
            if (value[index].is_null()) failAt(path + "[" + std::to_string(index) + "]", "is null");
            result.push_back(Decoder<T>::decode(value[index], path + "[" + std::to_string(index) + "]"));
        }
        return result;
    }
};
// Any JSON value, for members whose shape the caller checks itself.
template <>
struct Decoder<nlohmann::json> {
    static nlohmann::json decode(const nlohmann::json& value, const std::string&) { return value; }
};
// Records: anything with a static decode(const JSONObject&).
template <typename T>
requires requires(const JSONObject& object) {
    T::decode(object);
}
struct Decoder<T> {
    static T decode(const nlohmann::json& value, const std::string& path) {
        return T::decode(JSONObject(value, path));
    }
};

// Decodes a whole body as record T.
template <typename T>
T decodeRecord(std::string_view body) {
    return Decoder<T>::decode(parseJSON(body), "");
}

// Encoding helpers: absent optionals are left out; records encode through their encode().
inline nlohmann::json encoded(const std::string& value) {
    return value;
}
inline nlohmann::json encoded(bool value) {
    return value;
}
inline nlohmann::json encoded(const Url& value) {
    return value.string();
}
template <typename T>
requires requires(const T& value) {
    value.encode();
}
nlohmann::json encoded(const T& value) {
    return value.encode();
}
template <typename T>
nlohmann::json encoded(const std::vector<T>& values) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& value : values) array.push_back(encoded(value));
    return array;
}

template <typename T>
void putOptional(nlohmann::json& object, const char* name, const std::optional<T>& value) {
    if (value) object[name] = encoded(*value);
}

}  // namespace json
}  // namespace halvex
