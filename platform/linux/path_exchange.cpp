#include "platform/path_exchange.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/work_names.h"

namespace halvex::platform {

namespace {

void renameOrThrow(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) throwErrno("rename " + from.string());
}

void exchangeByRenames(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat status {};
    if (::lstat(b.c_str(), &status) != 0) throwErrno("exchange " + b.string());
    const auto aside = work::hiddenName(a.parent_path(), work::exchange);
    renameOrThrow(a, aside);
    if (::rename(b.c_str(), a.c_str()) != 0) {
        const int error = errno;
        ::rename(aside.c_str(), a.c_str());
        throwErrno(error, "rename " + b.string());
    }
    if (::rename(aside.c_str(), b.c_str()) != 0) {
        const int error = errno;
        ::rename(a.c_str(), b.c_str());
        ::rename(aside.c_str(), a.c_str());
        throwErrno(error, "rename " + aside.string());
    }
}

}  // namespace

void exchangePaths(const std::filesystem::path& a, const std::filesystem::path& b, ExchangeMethod method) {
    faultPoint(FileOperation::exchange, b);
    if (method == ExchangeMethod::twoRenames) {
        exchangeByRenames(a, b);
    } else if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) throwErrno("exchange " + a.string());
        exchangeByRenames(a, b);
    }
    fsyncDirectory(a.parent_path());
    if (b.parent_path() != a.parent_path()) fsyncDirectory(b.parent_path());
}

}  // namespace halvex::platform
