// Measures the service client: a large download through APIClient (time and memory), and catalogue
// decoding throughput. Driven by scripts/benchmark-service-client, which compares against curl.
//
//   service_client_benchmark download <base URL> <file URL> <size> <destination>
//   service_client_benchmark decode <megabytes>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>

#include "benchmarks/proc_status.h"
#include "core/service/api_client.h"
#include "core/service/catalog.h"

namespace {

int download(const std::string& baseURL, const std::string& fileURL, std::int64_t size,
             const std::string& destination) {
    using namespace halvex;
    const APIClient client(
        HalvexConfiguration{*Url::parse(baseURL), "HALVEXDEV1", {}, {}},
        KeychainStore("com.halvex.hub.benchmark", platform::makeFileCredentialStore("/nonexistent")));
    nlohmann::json release = {{"release_id", "rel_bench"},
                              {"version", "1.0.0"},
                              {"platform", "macos"},
                              {"architectures", {"arm64"}},
                              {"minimum_os", "13.0"},
                              {"size_bytes", size},
                              {"sha256", ""},
                              {"release_notes", ""},
                              {"manifest", ""},
                              {"download_url", fileURL},
                              {"published_at", 0}};
    const auto hubRelease = json::decodeRecord<HubRelease>(release.dump());
    const long idle = benchmarks::statusKilobytes("VmRSS");
    const auto started = std::chrono::steady_clock::now();
    client.download(hubRelease, destination);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::cout << "seconds " << elapsed.count() << "\nidle_rss_kib " << idle << "\npeak_rss_kib "
              << benchmarks::statusKilobytes("VmHWM") << "\n";
    return 0;
}

std::string catalogueOfSize(std::size_t bytes) {
    nlohmann::json releases = nlohmann::json::array();
    nlohmann::json products = nlohmann::json::array();
    for (int index = 0; releases.dump().size() + products.dump().size() < bytes; ++index) {
        const std::string id = "prod_" + std::to_string(index);
        products.push_back({{"product_id", id},
                            {"slug", "plugin-" + std::to_string(index)},
                            {"name", "Plugin"},
                            {"bundle_id", "com.halvex." + id},
                            {"vst3_processor_fuid", "ABCDEF0123456789ABCDEF0123456789"},
                            {"vst3_controller_fuid", "ABCDEF0123456789ABCDEF0123456789"},
                            {"icon_url", "https://cdn.halvexaudio.com/icons/" + id + ".png"},
                            {"owned", true},
                            {"discovery",
                             {{"category", "Delay"},
                              {"tagline", "A tagline"},
                              {"overview", std::string(400, 'o')},
                              {"features", {"One", "Two", "Three"}}}}});
        for (int release = 0; release < 4; ++release) {
            releases.push_back({{"release_id", "rel_" + id + "_" + std::to_string(release)},
                                {"product_id", id},
                                {"slug", "plugin"},
                                {"name", "Plugin"},
                                {"bundle_id", "com.halvex." + id},
                                {"version", "1." + std::to_string(release) + ".0"},
                                {"channel", "stable"},
                                {"platform", "macos"},
                                {"architectures", {"arm64", "x86_64"}},
                                {"minimum_os", "13.0"},
                                {"minimum_hub_version", "1.0.0"},
                                {"size_bytes", 12345678},
                                {"sha256", std::string(64, 'a')},
                                {"manifest", std::string(600, 'm')},
                                {"download_url", "https://cdn.halvexaudio.com/releases/" + id + ".zip"},
                                {"published_at", 1700000000}});
        }
    }
    return nlohmann::json{{"products", products}, {"releases", releases}}.dump();
}

int decode(std::size_t megabytes) {
    const std::string body = catalogueOfSize(megabytes * 1024 * 1024);
    constexpr int rounds = 10;
    std::size_t products = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        products += halvex::json::decodeRecord<halvex::Catalog>(body).products.size();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::cout << "catalogue_bytes " << body.size() << "\nproducts " << products / rounds
              << "\nmegabytes_per_second "
              << (static_cast<double>(body.size()) * rounds / (1024 * 1024)) / elapsed.count() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "download" && argc == 6) return download(argv[2], argv[3], std::stoll(argv[4]), argv[5]);
        if (mode == "decode" && argc == 3) return decode(std::stoul(argv[2]));
    } catch (const std::exception& error) {
        std::cerr << "service_client_benchmark: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "usage: service_client_benchmark download <base URL> <file URL> <size> <destination>\n"
                 "       service_client_benchmark decode <megabytes>\n";
    return 2;
}
