#include "core/foundation/bundle.h"

#include <system_error>

#include "platform/running_bundle.h"

namespace halvex {

platform::PropertyValue readInfoPlist(const std::filesystem::path& bundle) {
    return platform::readPropertyList(Bundle::infoPlistPath(bundle));
}

Bundle Bundle::atPath(const std::filesystem::path& path) {
    Bundle bundle(path, {});
    try {
        bundle.info_ = readInfoPlist(path);
    } catch (const platform::PropertyListError&) {
        // A damaged Info.plist reads as one without keys; whoever needs a key reports its absence.
    } catch (const std::system_error&) {
    }
    return bundle;
}

Bundle Bundle::main() {
    if (auto bundle = platform::runningBundlePath()) return atPath(*bundle);
    return Bundle(platform::runningExecutablePath().parent_path(), {});
}

}  // namespace halvex
