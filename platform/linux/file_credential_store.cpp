#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <system_error>

#include "platform/credential_store.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace halvex::platform {

namespace {

// Credential items are a token or a raw key; anything larger is not ours.
constexpr std::size_t maximumItemBytes = 1024 * 1024;

// Names that are safe as one path component keep their text; anything else (including "." and "..",
// and names starting with "." that could meet our hidden temporary files) is stored under its digest.
std::string componentName(const std::string& name) {
    static const std::regex safe("[A-Za-z0-9._-]+");
    if (std::regex_match(name, safe) && name.front() != '.') return name;
    return sha256Hex(name);
}

class FileCredentialStore final : public CredentialStore {
  public:
    explicit FileCredentialStore(std::filesystem::path root) : root_(std::move(root)) {}

    CredentialRead read(const std::string& service, const std::string& account) override {
        const auto path = itemPath(service, account);
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) {
            if (errno == ENOENT || errno == ENOTDIR) return {CredentialRead::Outcome::notFound, {}, 0};
            return {CredentialRead::Outcome::failed, {}, errno};
        }
        try {
            return {CredentialRead::Outcome::found, readDescriptor(fd.get(), maximumItemBytes, path.string()),
                    0};
        } catch (const std::system_error& error) {
            return {CredentialRead::Outcome::failed, {}, error.code().value()};
        }
    }

    CredentialStatus write(const std::string& service, const std::string& account,
                           std::string_view bytes) override {
        try {
            const auto path = itemPath(service, account);
            createDirectories(path.parent_path(), 0700);
            writeFileAtomically(path, bytes, 0600);
            return CredentialStatus::success();
        } catch (const std::system_error& error) {
            return CredentialStatus::failure(error.code().value());
        }
    }

    CredentialStatus remove(const std::string& service, const std::string& account) override {
        const auto path = itemPath(service, account);
        if (::unlink(path.c_str()) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return CredentialStatus::success();
            return CredentialStatus::failure(errno);
        }
        try {
            fsyncDirectory(path.parent_path());
        } catch (const std::system_error& error) {
            return CredentialStatus::failure(error.code().value());
        }
        return CredentialStatus::success();
    }

  private:
    std::filesystem::path itemPath(const std::string& service, const std::string& account) const {
        return root_ / componentName(service) / componentName(account);
    }

    std::filesystem::path root_;
};

}  // namespace

std::shared_ptr<CredentialStore> makeFileCredentialStore(std::filesystem::path root) {
    return std::make_shared<FileCredentialStore>(std::move(root));
}

}  // namespace halvex::platform
