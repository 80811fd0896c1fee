#include "core/install/product_holds.h"

#include <nlohmann/json.hpp>

#include "core/foundation/json_decoding.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace halvex {

namespace {

constexpr std::size_t maximumHoldBytes = 64 * 1024;

struct HoldRecord {
    std::string productID;
    std::string version;

    static HoldRecord decode(const json::JSONObject& object) {
        return {object.required<std::string>("product_id"), object.required<std::string>("version")};
    }
};

std::optional<HoldRecord> readRecord(const std::filesystem::path& file) {
    try {
        return json::decodeRecord<HoldRecord>(platform::readFile(file, maximumHoldBytes));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

ProductHolds::ProductHolds(std::filesystem::path applicationSupport)
    : folder_(std::move(applicationSupport) / "Holds") {}

std::filesystem::path ProductHolds::file(const std::string& productID) const {
    return folder_ / (platform::sha256Hex(productID) + ".json");
}

std::string ProductHolds::record(const std::string& productID, const std::string& version) {
    return nlohmann::json{{"product_id", productID}, {"version", version}}.dump();
}

void ProductHolds::createFolder() const {
    platform::createDirectories(folder_, 0700);
}

void ProductHolds::hold(const std::string& productID, const std::string& version) const {
    createFolder();
    platform::writeFileAtomically(file(productID), record(productID, version), 0600);
}

void ProductHolds::release(const std::string& productID) const {
    platform::removeTree(file(productID));
}

bool ProductHolds::isHeld(const std::string& productID) const {
    // A hold that cannot be looked at counts as a hold: skipping an update is the safe side.
    return platform::mayExist(file(productID));
}

std::optional<std::string> ProductHolds::heldVersion(const std::string& productID) const {
    const auto record = readRecord(file(productID));
    if (!record || record->productID != productID) return std::nullopt;
    return record->version;
}

std::map<std::string, std::string> ProductHolds::all() const {
    std::map<std::string, std::string> holds;
    std::vector<std::string> names;
    try {
        names = platform::directoryEntries(folder_);
    } catch (const std::system_error&) {
        return holds;  // no hold can be read; each product's own question still answers safely
    }
    for (const auto& name : names) {
        if (name.starts_with(".")) continue;
        const auto path = folder_ / name;
        const auto record = readRecord(path);
        // A record filed under another product's name is not that product's hold.
        if (record && path == file(record->productID)) holds[record->productID] = record->version;
    }
    return holds;
}

}  // namespace halvex
