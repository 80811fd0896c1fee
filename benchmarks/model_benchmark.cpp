// Measures the window's once-per-second re-scan, reloadInstallationState(), over 50 installed
// three-format products: the main thread's CPU time per call (the scan itself runs on the installer's
// worker) and the wall time until the call completes. Driven by scripts/benchmark-model:
//
//   model_benchmark <work folder>

#include <time.h>

#include <QCoreApplication>
#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "app/model/hub_model.h"
#include "platform/file_io.h"
#include "tools/maker/maker.h"
#include "tools/stand_in_service/stand_in_service.h"

namespace {

using namespace halvex;

double mainThreadCPUMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void writeBundle(const std::filesystem::path& folder, const std::string& name,
                 const std::string& identifier) {
    const auto bundle = folder / name;
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    platform::PropertyValue::Dictionary info;
    info.emplace("CFBundleIdentifier", identifier);
    info.emplace("CFBundleShortVersionString", std::string("1.0.0"));
    info.emplace("CFBundleExecutable", std::string("Engine"));
    std::ofstream(bundle / "Contents" / "Info.plist")
        << platform::xmlPropertyList(platform::PropertyValue(info));
    std::ofstream(bundle / "Contents" / "MacOS" / "Engine", std::ios::binary)
        << maker::machOExecutable({maker::cpuTypeARM64, maker::cpuTypeX86_64}, "engine");
}

int run(const std::filesystem::path& work) {
    const auto trust = maker::makeTrustSet("HALVEXDEV1");
    tools::StandInService service({});
    const HalvexConfiguration configuration{
        *Url::parse(service.baseURL()), "HALVEXDEV1", trust.service.publicPEM, {trust.root.certificatePEM}};
    const KeychainStore keychain("com.halvex.hub", platform::makeFileCredentialStore(work / "Keychain"));
    keychain.write(service.issueToken(), APIClient::credentialAccount);

    nlohmann::json products = nlohmann::json::array();
    nlohmann::json releases = nlohmann::json::array();
    app::LibraryService::Environment environment;
    environment.configuration = [&] { return configuration; };
    environment.keychain = [&] { return keychain; };
    environment.pluginFolders = [&] {
        return PluginInstaller::Folders::standard(work / "Support", work / "Plugins" / "VST3");
    };
    environment.hubOptions = [&] {
        HubUpdater::Options options;
        options.applicationSupport = work / "Support";
        options.applicationURL = work / "Applications" / "HALVEX HUB.app";
        return options;
    };
    environment.audioApplications = [] { return std::vector<std::string>{}; };
    environment.hubVersion = "1.0.0";
    auto services = app::HubModel::Services();
    services.library = std::make_shared<app::LibraryService>(environment);
    auto& installer = services.library->installer();
    std::ofstream(work / "empty.zip") << "zip";
    platform::createDirectories(work / "Support" / "InstalledReleases", 0700);
    for (int index = 0; index < 50; ++index) {
        const auto number = std::to_string(index);
        const std::string id = "com.halvex.product" + number;
        writeBundle(work / "Plugins" / "VST3", "P" + number + ".vst3", id);
        writeBundle(work / "Plugins" / "Components", "P" + number + ".component", id + ".au");
        writeBundle(work / "Plugins" / "CLAP", "P" + number + ".clap", id + ".clap");
        maker::ReleaseSpec spec;
        spec.releaseID = "rel_" + number;
        spec.productID = "prod_" + number;
        spec.slug = "product-" + number;
        spec.name = "Product " + number;
        spec.bundleID = id;
        spec.minimumOS = "1.0";
        spec.audioUnit = nlohmann::json{
            {"bundle_id", id + ".au"}, {"type", "aufx"}, {"subtype", "Bnch"}, {"manufacturer", "Hlvx"}};
        spec.clap = nlohmann::json{{"bundle_id", id + ".clap"}, {"plugin_id", id}};
        const auto described = maker::describeRelease(spec, work / "empty.zip", trust.service.privatePEM);
        releases.push_back(described.release);
        platform::writeFileAtomically(installer.receiptURL(id), described.release.dump(), 0600);
        products.push_back({{"product_id", spec.productID},
                            {"slug", spec.slug},
                            {"name", spec.name},
                            {"bundle_id", id},
                            {"vst3_processor_fuid", "P"},
                            {"vst3_controller_fuid", "C"},
                            {"icon_url", "https://cdn.example/icon.png"},
                            {"owned", true}});
    }
    service.setCatalog({{"products", products}, {"releases", releases}});
    services.statusStore = app::BackgroundAgentStatusStore(work / "Support");
    services.backgroundServiceState = [] { return app::BackgroundServiceController::State::active(); };
    app::HubModel model(std::move(services));
    QCoro::waitFor(model.refreshAsync(false));
    const auto installed = std::count_if(model.productStates().begin(), model.productStates().end(),
                                         [](const auto& entry) { return entry.second.installed(); });
    if (installed != 50 || !model.availableUpdates().empty()) {
        std::cerr << "model_benchmark: the 50 products did not read as installed\n";
        return 1;
    }
    // Freshly written folders are re-read until their timestamps are old enough to be trusted.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (int warm = 0; warm < 5; ++warm) QCoro::waitFor(model.reloadInstallationStateAsync());

    constexpr int rounds = 200;
    const double cpuBefore = mainThreadCPUMilliseconds();
    const auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) QCoro::waitFor(model.reloadInstallationStateAsync());
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - started;
    const double cpu = mainThreadCPUMilliseconds() - cpuBefore;
    std::cout << "main_thread_ms_per_call " << cpu / rounds << "\nwall_ms_per_call " << wall.count() / rounds
              << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: model_benchmark <work folder>\n";
        return 2;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& error) {
        std::cerr << "model_benchmark: " << error.what() << "\n";
        return 1;
    }
}
