// Measures the background agent at rest, driven by scripts/benchmark-agent: the real executable runs as the
// agent against the stand-in service with 20 installed, current plugins and nothing pending, and its CPU
// time and memory are read from /proc over the given number of seconds.
//
//   agent_benchmark <path of HalvexHub> <seconds>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "benchmarks/proc_status.h"
#include "core/service/api_client.h"
#include "halvex/trust_constants.h"
#include "platform/file_io.h"
#include "tools/maker/maker.h"
#include "tools/stand_in_service/stand_in_service.h"

namespace {

using namespace halvex;

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::filesystem::path writePlugin(const std::filesystem::path& folder, const std::string& product,
                                  const maker::Identity& signer) {
    const std::string id = "com.halvex." + product;
    const auto write = [](const std::filesystem::path& bundle, const std::string& identifier,
                          const platform::PropertyValue::Dictionary& extra) {
        std::filesystem::create_directories(bundle / "Contents" / "MacOS");
        auto info = extra;
        info.emplace("CFBundleIdentifier", identifier);
        info.emplace("CFBundleShortVersionString", std::string("1.0.0-beta.1"));
        info.emplace("CFBundleExecutable", std::string("Engine"));
        std::ofstream(bundle / "Contents" / "Info.plist")
            << platform::xmlPropertyList(platform::PropertyValue(info));
        std::ofstream(bundle / "Contents" / "MacOS" / "Engine", std::ios::binary)
            << maker::machOExecutable({maker::cpuTypeARM64, maker::cpuTypeX86_64});
    };
    const auto bundle = folder / (product + ".clap");
    write(bundle, id + ".clap", {{"HVXCLAPPluginID", id}});
    write(bundle / "Contents" / "Resources" / "plugin.bundle", id, {});
    maker::sealBundle(bundle / "Contents" / "Resources" / "plugin.bundle", id, signer);
    maker::sealBundle(bundle, id + ".clap", signer);
    return bundle;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: agent_benchmark <path of HalvexHub> <seconds>\n";
        return 2;
    }
    const std::string executable = argv[1];
    const int seconds = std::stoi(argv[2]);
    const auto trust = maker::readTrustSet(build::demoKeysFolder);
    char pattern[] = "/tmp/halvex-agent-benchmark-XXXXXX";
    const std::filesystem::path work = ::mkdtemp(pattern);
    const auto home = work / "home";
    const auto data = work / "data";

    tools::StandInService service({});
    nlohmann::json products = nlohmann::json::array();
    nlohmann::json releases = nlohmann::json::array();
    for (int index = 0; index < 20; ++index) {
        const std::string product = "plugin" + std::to_string(index);
        const auto bundle = writePlugin(home / ".clap", product, trust.leaf);
        maker::ReleaseSpec spec;
        spec.releaseID = "rel_" + product;
        spec.productID = "prod_" + product;
        spec.bundleID = "com.halvex." + product;
        spec.version = "1.0.0-beta.1";
        spec.channel = "beta";
        spec.audience = "internal";
        spec.vst3 = false;
        spec.minimumOS = "1.0";
        spec.minimumHubVersion = "1.0.5";
        spec.clap = nlohmann::json{{"bundle_id", spec.bundleID + ".clap"}, {"plugin_id", spec.bundleID}};
        spec.bundles = {bundle};
        spec.downloadURL = service.baseURL() + "/files/releases/" + product + ".zip";
        const auto packaged =
            maker::packageRelease(spec, work / (product + ".zip"), trust.service.privatePEM);
        releases.push_back(packaged.release);
        products.push_back({{"product_id", spec.productID},
                            {"slug", product},
                            {"name", product},
                            {"bundle_id", spec.bundleID},
                            {"vst3_processor_fuid", "P"},
                            {"vst3_controller_fuid", "C"},
                            {"icon_url", "https://cdn.example/i.png"},
                            {"owned", true},
                            {"beta_access", true}});
    }
    service.setCatalog({{"products", products}, {"releases", releases}});
    service.setHubRelease(nlohmann::json{{"release_id", "hub"},
                                         {"version", "0.0.1"},
                                         {"platform", "macos"},
                                         {"architectures", {"arm64"}},
                                         {"minimum_os", "1"},
                                         {"size_bytes", 1},
                                         {"sha256", ""},
                                         {"release_notes", ""},
                                         {"manifest", ""},
                                         {"download_url", service.baseURL()},
                                         {"published_at", 0}});
    KeychainStore("com.halvex.hub", platform::makeFileCredentialStore(data / "Halvex" / "Keychain"))
        .write(service.issueToken(), APIClient::credentialAccount);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"HOME", home.string()},
                                                          {"XDG_DATA_HOME", data.string()},
                                                          {"XDG_CONFIG_HOME", (work / "config").string()},
                                                          {"XDG_RUNTIME_DIR", work.string()},
                                                          {"DBUS_SESSION_BUS_ADDRESS", ""},
                                                          {"HVX_API_BASE_URL", service.baseURL()}}) {
        environment.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string mode = "--background-agent";
    std::string program = executable;
    char* arguments[] = {program.data(), mode.data(), nullptr};
    pid_t agent = -1;
    if (::posix_spawn(&agent, executable.c_str(), nullptr, nullptr, arguments, envp.data()) != 0) return 1;

    // Let the first cycle finish, then measure the rest.
    const auto statusFile = data / "Halvex" / "background-status.json";
    for (int attempt = 0; attempt < 300 && !std::filesystem::exists(statusFile); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpuBefore = cpuSeconds(agent);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = cpuSeconds(agent);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long rss = benchmarks::statusKilobytes("VmRSS", agent);
    const long peak = benchmarks::statusKilobytes("VmHWM", agent);
    const auto status = platform::readFile(statusFile, 4096);
    ::kill(agent, SIGTERM);
    int exitStatus = 0;
    ::waitpid(agent, &exitStatus, 0);
    std::filesystem::remove_all(work);

    std::cout << "status " << status << "\n";
    std::cout << "idle CPU " << 100.0 * (cpuAfter - cpuBefore) / wall << " % of one core over " << wall
              << " s (goal < 0.5 %)\n";
    std::cout << "RSS " << rss / 1024.0 << " MiB, peak " << peak / 1024.0 << " MiB (goal < 30 MiB)\n";
    return 0;
}
