#include "platform/bundle_seal.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/file_io.h"
#include "platform/openssl_handles.h"
#include "platform/sha256.h"

namespace halvex::platform {

namespace {

constexpr std::size_t maximumSealJSONBytes = 64 * 1024 * 1024;
constexpr std::size_t maximumSignatureBytes = 1024 * 1024;
constexpr std::size_t maximumSealEntries = 500'000;

using openssl::BioPtr;
using openssl::Deleter;
using CMSPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using openssl::CertPtr;

void freeCertificates(STACK_OF(X509) * certificates) {
    sk_X509_free(certificates);
}

// A relative link target that, resolved lexically from the link's folder, stays inside the bundle.
bool targetStaysInside(const std::string& relativeLink, const std::string& target) {
    if (target.empty() || target.front() == '/') return false;
    std::vector<std::string> parts;
    const auto folder = std::filesystem::path(relativeLink).parent_path();
    for (const auto& part : folder) parts.push_back(part.string());
    for (const auto& part : std::filesystem::path(target)) {
        const auto text = part.string();
        if (text == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (text != "." && !text.empty()) {
            parts.push_back(text);
        }
    }
    return true;
}

bool isUnderSealFolder(const std::string& relative) {
    return relative == sealFolder || relative.starts_with(std::string(sealFolder) + "/");
}

// Duplicate keys would let two readers of one seal disagree; they make the seal malformed.
std::optional<nlohmann::json> parseWithoutDuplicateKeys(const std::string& text) {
    std::vector<std::set<std::string>> open;
    bool duplicate = false;
    const auto callback = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (event == Event::object_start) open.emplace_back();
        if (event == Event::object_end && !open.empty()) open.pop_back();
        if (event == Event::key && !open.empty() && !open.back().insert(parsed.get<std::string>()).second) {
            duplicate = true;
        }
        return true;
    };
    try {
        auto parsed = nlohmann::json::parse(text, callback);
        if (duplicate) return std::nullopt;
        return parsed;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

bool stringMap(const nlohmann::json& value, std::map<std::string, std::string>& into) {
    if (!value.is_object() || value.size() > maximumSealEntries) return false;
    for (const auto& [key, member] : value.items()) {
        if (!member.is_string()) return false;
        into.emplace(key, member.get<std::string>());
    }
    return true;
}

STACK_OF(X509) * signerCertificates(CMS_ContentInfo* cms) {
    return CMS_get0_signers(cms);
}

bool leafQualifies(X509* leaf, const std::string& teamID) {
    if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0) return false;
    if ((X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0) return false;
    X509_NAME* subject = X509_get_subject_name(leaf);
    int position = -1;
    int units = 0;
    bool matched = false;
    while ((position = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, position)) >= 0) {
        ++units;
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, position));
        unsigned char* text = nullptr;
        const int length = ASN1_STRING_to_UTF8(&text, value);
        if (length >= 0 &&
            std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length)) == teamID) {
            matched = true;
        }
        OPENSSL_free(text);
    }
    return units == 1 && matched;
}

bool signatureVerifies(const std::string& sealJSON, const std::string& signature,
                       const SealRequirement& requirement) {
    StorePtr store(X509_STORE_new());
    if (!store) return false;
    for (const auto& pem : requirement.anchorsPEM) {
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        CertPtr anchor(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!anchor || X509_STORE_add_cert(store.get(), anchor.get()) != 1) return false;
    }
    // A release stays installable after its certificate expires; the extended key usage is checked below.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_NO_CHECK_TIME);
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);

    const auto* signatureBytes = reinterpret_cast<const unsigned char*>(signature.data());
    CMSPtr cms(d2i_CMS_ContentInfo(nullptr, &signatureBytes, static_cast<long>(signature.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return false;
    if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) return false;
    BioPtr content(BIO_new_mem_buf(sealJSON.data(), static_cast<int>(sealJSON.size())));
    if (CMS_verify(cms.get(), nullptr, store.get(), content.get(), nullptr, CMS_BINARY) != 1) return false;

    std::unique_ptr<STACK_OF(X509), decltype(&freeCertificates)> signers(signerCertificates(cms.get()),
                                                                         &freeCertificates);
    return signers && sk_X509_num(signers.get()) == 1 &&
           leafQualifies(sk_X509_value(signers.get(), 0), requirement.teamID);
}

}  // namespace

SealContents scanBundle(const std::filesystem::path& bundle, const std::string& identifier) {
    SealContents contents;
    contents.identifier = identifier;
    std::error_code error;
    std::filesystem::recursive_directory_iterator walker(bundle, error);
    if (error) throw SealError("The bundle cannot be read.");
    for (; walker != std::filesystem::recursive_directory_iterator(); walker.increment(error)) {
        if (error) throw SealError("The bundle cannot be read.");
        const auto relative = walker->path().lexically_relative(bundle).generic_string();
        if (isUnderSealFolder(relative)) {
            if (walker->is_directory()) walker.disable_recursion_pending();
            continue;
        }
        const auto status = walker->symlink_status(error);
        if (error) throw SealError("The bundle cannot be read.");
        if (std::filesystem::is_symlink(status)) {
            const auto target = std::filesystem::read_symlink(walker->path()).string();
            if (!targetStaysInside(relative, target))
                throw SealError("A link leaves the bundle: " + relative);
            contents.links.emplace(relative, target);
        } else if (std::filesystem::is_regular_file(status)) {
            contents.files.emplace(relative, sha256HexOfFile(walker->path()));
        } else if (!std::filesystem::is_directory(status)) {
            throw SealError("The bundle holds an item that is no file, folder or link: " + relative);
        }
        if (contents.files.size() + contents.links.size() > maximumSealEntries)
            throw SealError("The bundle is too large.");
    }
    return contents;
}

std::string canonicalSealJSON(const SealContents& contents) {
    // nlohmann::json keeps object members sorted and writes no white space, UTF-8 and "/" unescaped.
    nlohmann::json seal = {{"files", contents.files},
                           {"format", 1},
                           {"identifier", contents.identifier},
                           {"links", contents.links}};
    return seal.dump();
}

std::optional<SealContents> parseSealJSON(const std::string& text) {
    if (text.size() > maximumSealJSONBytes) return std::nullopt;
    const auto parsed = parseWithoutDuplicateKeys(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    try {
        const auto& seal = *parsed;
        const auto format = seal.find("format");
        const auto identifier = seal.find("identifier");
        const auto files = seal.find("files");
        const auto links = seal.find("links");
        if (format == seal.end() || !format->is_number_integer() || format->get<std::int64_t>() != 1)
            return std::nullopt;
        if (identifier == seal.end() || !identifier->is_string()) return std::nullopt;
        SealContents contents;
        contents.identifier = identifier->get<std::string>();
        if (files == seal.end() || !stringMap(*files, contents.files)) return std::nullopt;
        if (links == seal.end() || !stringMap(*links, contents.links)) return std::nullopt;
        return contents;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

bool bundleSatisfies(const std::filesystem::path& bundle, const SealRequirement& requirement) {
    try {
        const auto folder = bundle / sealFolder;
        const auto sealJSON = readFile(folder / "seal.json", maximumSealJSONBytes);
        const auto signature = readFile(folder / "seal.p7s", maximumSignatureBytes);
        const bool verified = signatureVerifies(sealJSON, signature, requirement);
        ERR_clear_error();
        if (!verified) return false;
        const auto sealed = parseSealJSON(sealJSON);
        if (!sealed || sealed->identifier != requirement.identifier) return false;
        const auto actual = scanBundle(bundle, requirement.identifier);
        return actual.files == sealed->files && actual.links == sealed->links;
    } catch (const std::exception&) {
        ERR_clear_error();
        return false;
    }
}

}  // namespace halvex::platform
