#pragma once

// The code signature of a bundle on Linux: Contents/_CodeSignature/seal.json lists every regular file
// (SHA-256) and symbolic link (target) of the bundle; seal.p7s is a detached CMS signature over the exact
// bytes of seal.json by the maker's leaf certificate. Reading is hostile-input safe: sizes are bounded,
// links are never followed, and anything unexpected is a failure.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvex::platform {

inline constexpr const char* sealFolder = "Contents/_CodeSignature";

struct SealContents {
    std::map<std::string, std::string> files;  // bundle-relative path -> lower-case hex SHA-256
    std::map<std::string, std::string> links;  // bundle-relative path -> relative target
    std::string identifier;
};

// Walks the bundle as the seal sees it (everything but the bundle's own Contents/_CodeSignature).
// Throws SealError for an item that is neither a regular file, a folder nor a link whose target stays
// inside the bundle.
SealContents scanBundle(const std::filesystem::path& bundle, const std::string& identifier);

// The canonical seal.json text of `contents`.
std::string canonicalSealJSON(const SealContents& contents);

// Parses seal.json: format 1, string members only, no duplicate keys. Absent when malformed.
std::optional<SealContents> parseSealJSON(const std::string& text);

class SealError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct SealRequirement {
    std::string teamID;                   // the leaf's subject OU
    std::string identifier;               // the seal's identifier
    std::vector<std::string> anchorsPEM;  // trusted roots
};

// True when the bundle's seal verifies, chains to an anchor (validity periods ignored), the leaf has
// extended key usage codeSigning and OU = team, the seal names the identifier, and the bundle holds
// exactly the sealed files and links.
bool bundleSatisfies(const std::filesystem::path& bundle, const SealRequirement& requirement);

}  // namespace halvex::platform
