#include "core/foundation/json_decoding.h"

#include <cmath>
#include <limits>

namespace halvex {

nlohmann::json parseJSON(std::string_view body) {
    try {
        return nlohmann::json::parse(body.begin(), body.end());
    } catch (const nlohmann::json::exception&) {
        throw DecodingError("The data couldn’t be read because it isn’t valid JSON.");
    }
}

namespace json {

void failAt(const std::string& path, const char* problem) {
    throw DecodingError("The data couldn’t be read because “" +
                        (path.empty() ? std::string("the record") : path) + "” " + problem + ".");
}

JSONObject::JSONObject(const nlohmann::json& value, std::string path)
    : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) failAt(path_, "is not an object");
}

const nlohmann::json* JSONObject::member(const char* name) const {
    const auto found = value_.find(name);
    return found == value_.end() ? nullptr : &*found;
}

std::string JSONObject::pathOf(const char* name) const {
    return path_.empty() ? name : path_ + "." + name;
}

void JSONObject::fail(const char* name, const char* problem) const {
    failAt(pathOf(name), problem);
}

std::string Decoder<std::string>::decode(const nlohmann::json& value, const std::string& path) {
    if (!value.is_string()) failAt(path, "is not a string");
    return value.get<std::string>();
}

bool Decoder<bool>::decode(const nlohmann::json& value, const std::string& path) {
    if (!value.is_boolean()) failAt(path, "is not a Boolean");
    return value.get<bool>();
}

std::int64_t Decoder<std::int64_t>::decode(const nlohmann::json& value, const std::string& path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(number);
        }
    } else if (value.is_number_float()) {
        // A number written with a fraction or exponent still counts when it is a whole number in range.
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return static_cast<std::int64_t>(number);
        }
    }
    failAt(path, "is not an integer");
}

Url Decoder<Url>::decode(const nlohmann::json& value, const std::string& path) {
    auto url = Url::parse(Decoder<std::string>::decode(value, path));
    if (!url) failAt(path, "is not a URL");
    return std::move(*url);
}

}  // namespace json
}  // namespace halvex
