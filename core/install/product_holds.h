#pragma once

// Which products the user keeps at their installed version. A held product is left alone by every
// automatic update (the agent's cycle and its staged-update loop, the window's refresh and Update All)
// until the hold is released. One small file per product below the installer's folder:
// Holds/<hex SHA-256 of the product identifier>.json, written atomically. The file's existence is the
// hold; its content only says at which version the product was held, so a damaged file still holds.
//
// Thread-safe: every call reads or replaces files and keeps no state in memory.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace halvex {

class ProductHolds {
  public:
    explicit ProductHolds(std::filesystem::path applicationSupport);

    // Holds (or re-holds) `productID` at `version`.
    void hold(const std::string& productID, const std::string& version) const;
    // Releases the hold; releasing a product that is not held is not an error.
    void release(const std::string& productID) const;
    bool isHeld(const std::string& productID) const;
    // The version the product was held at; absent when not held or when the record cannot be read.
    std::optional<std::string> heldVersion(const std::string& productID) const;
    // Every readable hold: product identifier -> version.
    std::map<std::string, std::string> all() const;

    std::filesystem::path file(const std::string& productID) const;
    // The content of the file that holds `productID` at `version`, for callers that write it as part of
    // a larger transaction (into an existing folder: createFolder()).
    static std::string record(const std::string& productID, const std::string& version);
    void createFolder() const;

  private:
    std::filesystem::path folder_;
};

}  // namespace halvex
