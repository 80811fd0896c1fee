// A program the tests start as a separate process where they need one: a process started fresh is
// single-threaded and sees the files as they are, which a fork of a test process (with the stand-in
// service's threads running) does not promise.
//
//   halvex-test-helper hold-update-lock <folder>
//       takes the update lock, prints "locked" and holds it until killed
//   halvex-test-helper install <file size limit> <trust folder> <service URL> <application support>
//                              <VST3 folder> <legacy VST3 folder> <release JSON file> <archive>
//       installs the release from the archive with no audio host running, its files unable to grow past
//       the limit (as on a nearly full disk); exits 0 when installed, 3 on an error

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "core/install/plugin_installer.h"
#include "core/install/update_lock.h"
#include "platform/file_io.h"
#include "tests/support/plugin_fixtures.h"
#include "tools/maker/maker.h"

namespace {

using namespace halvex;

int holdUpdateLock(const std::vector<std::string>& arguments) {
    const UpdateLock lock(arguments.at(0));
    std::cout << "locked" << std::endl;
    while (true) ::pause();
}

int install(const std::vector<std::string>& arguments) {
    const rlimit limit{std::stoul(arguments.at(0)), std::stoul(arguments.at(0))};
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const auto trust = maker::readTrustSet(arguments.at(1));
    const HalvexConfiguration configuration{
        *Url::parse(arguments.at(2)), test::teamID, trust.service.publicPEM, {trust.root.certificatePEM}};
    auto folders = PluginInstaller::Folders::standard(arguments.at(3), arguments.at(4));
    folders.legacyVST3Directory = arguments.at(5);
    PluginInstaller installer(configuration, folders);
    installer.setAudioApplications([] { return std::vector<std::string>{}; });
    const auto release = json::decodeRecord<Release>(platform::readFile(arguments.at(6), 1 << 20));
    try {
        installer.install(release, arguments.at(7), SignedMetadataVerifier::fromPEM(trust.service.publicPEM),
                          false, false);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 3;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "hold-update-lock") return holdUpdateLock(arguments);
    if (command == "install") return install(arguments);
    std::cerr << "usage: halvex-test-helper hold-update-lock <folder> | install <...>\n";
    return 2;
}
