#include "core/install/rollback_archive.h"

#include "core/foundation/halvex_error.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/zip_archive.h"

namespace halvex {

void writeRollbackArchive(const std::filesystem::path& bundle, const std::filesystem::path& zip) {
    const auto work = zip.parent_path() / ("." + platform::randomUUID() + ".zip");
    try {
        platform::faultPoint(platform::FileOperation::write, work);
        platform::createZip({bundle}, work);
        platform::renamePath(work, zip);
    } catch (const platform::ArchiveError& error) {
        std::error_code ignored;
        std::filesystem::remove(work, ignored);
        throw HalvexError::invalidPackage("Update tool failed: " + std::string(error.what()));
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(work, ignored);
        throw;
    }
}

}  // namespace halvex
