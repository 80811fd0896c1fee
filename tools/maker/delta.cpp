#include <stdexcept>

#include "platform/base64.h"
#include "platform/delta_archive.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"
#include "tools/maker/maker.h"

namespace halvex::maker {

namespace {

// A folder below the system's temporary folder, removed with its contents at scope exit.
class WorkFolder {
  public:
    WorkFolder()
        : path_(std::filesystem::temp_directory_path() / ("halvex-maker-" + platform::randomUUID())) {
        platform::createDirectory(path_, 0700);
    }
    ~WorkFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    std::filesystem::path operator/(const std::string& child) const { return path_ / child; }

  private:
    std::filesystem::path path_;
};

std::string text(const nlohmann::json& record, const char* name) {
    const auto found = record.find(name);
    if (found == record.end() || !found->is_string())
        throw std::invalid_argument(std::string("the release record has no \"") + name + "\"");
    return found->get<std::string>();
}

}  // namespace

nlohmann::json DeltaRecord::json() const {
    return {{"from_version", fromVersion},
            {"from_manifest_sha256", fromManifestSHA256},
            {"url", url},
            {"size_bytes", sizeBytes},
            {"sha256", sha256}};
}

DeltaRecord DeltaRecord::fromJSON(const nlohmann::json& value) {
    return {value.at("from_version").get<std::string>(), value.at("from_manifest_sha256").get<std::string>(),
            value.at("url").get<std::string>(), value.at("size_bytes").get<std::int64_t>(),
            value.at("sha256").get<std::string>()};
}

std::string manifestPayloadSHA256(const std::string& token) {
    const auto first = token.find('.');
    const auto second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos) throw std::invalid_argument("the manifest is no compact token");
    const auto payload =
        platform::base64URLDecode(std::string_view(token).substr(first + 1, second - first - 1));
    if (!payload) throw std::invalid_argument("the manifest's payload is not base64url");
    return platform::sha256Hex(*payload);
}

MadeDelta makeDelta(const std::filesystem::path& from, const nlohmann::json& fromRelease,
                    const std::filesystem::path& to, const std::filesystem::path& out, const std::string& url,
                    const platform::DeltaOptions& options) {
    // A record of another archive would name a base that the delta was not made from.
    if (text(fromRelease, "sha256") != platform::sha256HexOfFile(from))
        throw std::invalid_argument("the release record does not describe " + from.string());
    const WorkFolder work;
    for (const auto& [archive, name] : {std::pair(from, "from"), std::pair(to, "to")}) {
        platform::createDirectory(work / name, 0700);
        platform::expandZip(archive, work / name);
    }
    const auto statistics = platform::createDelta(work / "from", work / "to", out, options);
    DeltaRecord record{text(fromRelease, "version"), manifestPayloadSHA256(text(fromRelease, "manifest")),
                       url, static_cast<std::int64_t>(std::filesystem::file_size(out)),
                       platform::sha256HexOfFile(out)};
    return {record, statistics};
}

}  // namespace halvex::maker
