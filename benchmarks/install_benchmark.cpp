// Measures plugin installation, driven by scripts/benchmark-install:
//
//   install_benchmark prepare <work folder> <download URL> <megabytes>
//       writes keys, a sealed three-format release of about <megabytes> MiB (release.zip, release.json)
//   install_benchmark install <work folder> <service base URL>
//       downloadAndInstall into <work>/Plugins; prints seconds and peak RSS
//   install_benchmark phases <work folder> <service base URL>
//       the installation's steps one by one (download with digest, digest alone, expansion, seal checks,
//       moves, sync); prints seconds per step
//   install_benchmark queries <work folder>
//       the window's per-second state queries over 50 installed products; prints milliseconds per scan

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "benchmarks/proc_status.h"
#include "core/install/plugin_installer.h"
#include "core/service/api_client.h"
#include "platform/file_io.h"
#include "tools/maker/maker.h"

namespace {

using namespace halvex;

void writeRandom(const std::filesystem::path& path, std::size_t bytes) {
    std::mt19937_64 random(42);
    std::string block(1 << 20, '\0');
    std::ofstream file(path, std::ios::binary);
    for (std::size_t written = 0; written < bytes; written += block.size()) {
        for (std::size_t index = 0; index < block.size(); index += 8) {
            const auto value = random();
            std::memcpy(block.data() + index, &value, 8);
        }
        file.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - written)));
    }
}

std::filesystem::path writeBundle(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& identifier, const std::string& version,
                                  const platform::PropertyValue::Dictionary& extra,
                                  std::size_t resourceBytes) {
    const auto bundle = folder / name;
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    std::filesystem::create_directories(bundle / "Contents" / "Resources");
    auto info = extra;
    info.emplace("CFBundleIdentifier", identifier);
    info.emplace("CFBundleShortVersionString", version);
    info.emplace("CFBundleExecutable", std::string("Engine"));
    std::ofstream(bundle / "Contents" / "Info.plist")
        << platform::xmlPropertyList(platform::PropertyValue(info));
    std::ofstream(bundle / "Contents" / "MacOS" / "Engine", std::ios::binary)
        << maker::machOExecutable({maker::cpuTypeARM64, maker::cpuTypeX86_64}, "engine");
    if (resourceBytes > 0) writeRandom(bundle / "Contents" / "Resources" / "samples.bin", resourceBytes);
    return bundle;
}

HalvexConfiguration configurationFor(const std::filesystem::path& work, const std::string& baseURL) {
    const auto trust = maker::readTrustSet(work / "keys");
    return HalvexConfiguration{
        *Url::parse(baseURL), "HALVEXDEV1", trust.service.publicPEM, {trust.root.certificatePEM}};
}

int prepare(const std::filesystem::path& work, const std::string& downloadURL, std::size_t megabytes) {
    const auto trust = maker::makeTrustSet("HALVEXDEV1");
    maker::writeTrustSet(trust, work / "keys");
    const auto source = work / "source";
    const std::size_t third = megabytes * 1024 * 1024 / 3;
    const std::string id = "com.halvex.bench";
    const auto engine = [&](const std::filesystem::path& wrapper) {
        const auto bundle =
            writeBundle(wrapper / "Contents" / "Resources", "plugin.bundle", id, "1.0.0", {}, 0);
        maker::sealBundle(bundle, id, trust.leaf);
    };
    maker::sealBundle(writeBundle(source, "Bench.vst3", id, "1.0.0", {}, third), id, trust.leaf);
    const platform::PropertyValue::Array components = {
        platform::PropertyValue::Dictionary{{"type", std::string("aufx")},
                                            {"subtype", std::string("Bnch")},
                                            {"manufacturer", std::string("Hlvx")}}};
    auto au =
        writeBundle(source, "Bench.component", id + ".au", "1.0.0", {{"AudioComponents", components}}, third);
    engine(au);
    maker::sealBundle(au, id + ".au", trust.leaf);
    auto clap = writeBundle(source, "Bench.clap", id + ".clap", "1.0.0", {{"HVXCLAPPluginID", id}}, third);
    engine(clap);
    maker::sealBundle(clap, id + ".clap", trust.leaf);

    maker::ReleaseSpec spec;
    spec.releaseID = "rel_bench";
    spec.productID = "prod_bench";
    spec.bundleID = id;
    spec.minimumOS = "1.0";
    spec.downloadURL = downloadURL;
    spec.audioUnit = nlohmann::json{
        {"bundle_id", id + ".au"}, {"type", "aufx"}, {"subtype", "Bnch"}, {"manufacturer", "Hlvx"}};
    spec.clap = nlohmann::json{{"bundle_id", id + ".clap"}, {"plugin_id", id}};
    spec.bundles = {source / "Bench.vst3", source / "Bench.component", source / "Bench.clap"};
    const auto packaged = maker::packageRelease(spec, work / "release.zip", trust.service.privatePEM);
    std::ofstream(work / "release.json") << packaged.release.dump();
    std::filesystem::remove_all(source);
    return 0;
}

int install(const std::filesystem::path& work, const std::string& baseURL) {
    const auto configuration = configurationFor(work, baseURL);
    const auto release = json::decodeRecord<Release>(platform::readFile(work / "release.json", 1 << 20));
    const KeychainStore keychain("com.halvex.hub", platform::makeFileCredentialStore(work / "Keychain"));
    keychain.write("benchmark", APIClient::credentialAccount);
    const APIClient client(configuration, keychain);
    PluginInstaller installer(configuration, work / "Support", work / "Plugins" / "VST3");
    installer.setAudioApplications([] { return std::vector<std::string>{}; });
    const auto verifier = SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM);
    const long idle = benchmarks::statusKilobytes("VmRSS");
    const auto started = std::chrono::steady_clock::now();
    installer.downloadAndInstall(release, client, verifier, false, false);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::cout << "seconds " << elapsed.count() << "\nidle_rss_kib " << idle << "\npeak_rss_kib "
              << benchmarks::statusKilobytes("VmHWM") << "\n";
    return 0;
}

int phases(const std::filesystem::path& work, const std::string& baseURL) {
    const auto configuration = configurationFor(work, baseURL);
    const auto release = json::decodeRecord<Release>(platform::readFile(work / "release.json", 1 << 20));
    const KeychainStore keychain("com.halvex.hub", platform::makeFileCredentialStore(work / "Keychain"));
    keychain.write("benchmark", APIClient::credentialAccount);
    const APIClient client(configuration, keychain);
    const PluginInstaller installer(configuration, work / "Support", work / "Plugins" / "VST3");
    const auto phase = work / "phase";
    std::filesystem::remove_all(phase);
    std::filesystem::create_directories(phase / "staging");
    std::filesystem::create_directories(phase / "copies");
    const auto timed = [](const char* name, const auto& step) {
        const auto started = std::chrono::steady_clock::now();
        step();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        std::cout << name << " " << elapsed.count() << "\n";
    };
    timed("download_with_digest", [&] { (void)client.downloadHashing(release, phase / "release.zip"); });
    timed("digest_alone", [&] { (void)PluginInstaller::sha256(phase / "release.zip"); });
    timed("expansion", [&] { PluginInstaller::expandArchive(phase / "release.zip", phase / "staging"); });
    const std::vector<std::pair<std::string, std::string>> bundles = {
        {"Bench.vst3", release.bundleID},
        {"Bench.component", release.bundleID + ".au"},
        {"Bench.clap", release.bundleID + ".clap"}};
    timed("seal_checks", [&] {
        for (const auto& [name, id] : bundles) installer.verifyCodeSignature(phase / "staging" / name, id);
    });
    timed("moves", [&] {
        for (const auto& [name, id] : bundles)
            platform::moveOrCopyTree(phase / "staging" / name, phase / "copies" / name);
    });
    timed("sync", [&] { platform::syncTree(phase / "copies"); });
    std::filesystem::remove_all(phase);
    return 0;
}

int queries(const std::filesystem::path& work) {
    const auto trust = maker::makeTrustSet("HALVEXDEV1");
    maker::writeTrustSet(trust, work / "keys");
    const auto configuration = configurationFor(work, "http://127.0.0.1:1");
    PluginInstaller installer(configuration, work / "Support", work / "Plugins" / "VST3");
    const auto verifier = SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM);
    std::vector<Release> releases;
    std::ofstream(work / "empty.zip") << "zip";
    for (int index = 0; index < 50; ++index) {
        const std::string id = "com.halvex.product" + std::to_string(index);
        writeBundle(work / "Plugins" / "VST3", "P" + std::to_string(index) + ".vst3", id, "1.0.0", {}, 0);
        writeBundle(work / "Plugins" / "Components", "P" + std::to_string(index) + ".component", id + ".au",
                    "1.0.0", {}, 0);
        writeBundle(work / "Plugins" / "CLAP", "P" + std::to_string(index) + ".clap", id + ".clap", "1.0.0",
                    {}, 0);
        maker::ReleaseSpec spec;
        spec.releaseID = "rel_" + std::to_string(index);
        spec.productID = "prod_" + std::to_string(index);
        spec.bundleID = id;
        spec.minimumOS = "1.0";
        spec.audioUnit = nlohmann::json{
            {"bundle_id", id + ".au"}, {"type", "aufx"}, {"subtype", "Bnch"}, {"manufacturer", "Hlvx"}};
        spec.clap = nlohmann::json{{"bundle_id", id + ".clap"}, {"plugin_id", id}};
        const auto described = maker::describeRelease(spec, work / "empty.zip", trust.service.privatePEM);
        releases.push_back(json::decodeRecord<Release>(described.release.dump()));
        platform::createDirectories(work / "Support" / "InstalledReleases", 0700);
        platform::writeFileAtomically(installer.receiptURL(id), described.release.dump(), 0600);
    }
    // The window sees folders that changed seconds ago or more; freshly written folders are re-read on every
    // query until their timestamps are old enough to be trusted.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    constexpr int rounds = 20;
    std::size_t complete = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const auto& release : releases) {
            complete += installer.installedVersion(release.bundleID).has_value();
            complete += installer.installedChannel(release.bundleID, verifier).has_value();
            complete += installer.isComplete(release);
        }
        complete += installer.pendingVersions(verifier).size();
    }
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - started;
    std::cout << "answers " << complete / rounds << "\nmilliseconds_per_scan " << elapsed.count() / rounds
              << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "prepare" && argc == 5) return prepare(argv[2], argv[3], std::stoul(argv[4]));
        if (mode == "install" && argc == 4) return install(argv[2], argv[3]);
        if (mode == "queries" && argc == 3) return queries(argv[2]);
        if (mode == "phases" && argc == 4) return phases(argv[2], argv[3]);
    } catch (const std::exception& error) {
        std::cerr << "install_benchmark: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "usage: install_benchmark prepare <work> <download URL> <megabytes> | install <work> <base "
                 "URL> | phases <work> <base URL> | "
                 "queries <work>\n";
    return 2;
}
