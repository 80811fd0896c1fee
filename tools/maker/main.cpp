// halvex-maker: the maker's signing and packaging tools (keys, seals, tokens, releases, test executables).

#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "platform/file_io.h"
#include "tools/maker/demo_service_data.h"
#include "tools/maker/maker.h"

namespace {

using namespace halvex;

constexpr const char* usage = R"(Usage: halvex-maker <command> [options]

Commands:
  keys --out DIR --team TEAMID
      A service P-256 key pair (service-private.pem, service-public.pem), a code-signing root
      (codesign-root.pem, codesign-root-key.pem) and a leaf with extended key usage codeSigning and
      OU = TEAMID (codesign-leaf.pem, codesign-leaf-key.pem).
  tls --out DIR
      A demo web-server authority (tls-authority.pem, tls-authority-key.pem) and a certificate for
      127.0.0.1 and localhost issued by it (tls-server.pem with the chain, tls-server-key.pem), for a
      stand-in service that a demo build reaches over https.
  seal BUNDLE --identifier ID --keys DIR
      Seals BUNDLE (Contents/_CodeSignature/seal.json and seal.p7s) with the leaf in DIR.
  token --manifest FILE --keys DIR
      Prints the compact ES256 token of the manifest JSON in FILE, signed with the service key in DIR.
  release --keys DIR --out ZIP [--release-id ID] [--product-id ID] [--slug S] [--name N] [--bundle-id ID]
          [--version V] [--channel C] [--architectures a,b] [--minimum-os V] [--minimum-hub-version V]
          [--download-url URL] [--audio-unit TYPE,SUBTYPE,MANUFACTURER] [--clap] [--no-vst3]
          [--audience A] [--deltas FILE] BUNDLE...
      Zips the bundles into ZIP, signs the manifest, and prints the catalogue release JSON. FILE holds
      the delta records (as `delta` prints them, one or a JSON array) that the manifest lists.
  hub-release --keys DIR --out ZIP --version V --download-url URL [--release-id ID]
          [--architectures a,b] [--minimum-os V] [--release-notes TEXT] [--deltas FILE] BUNDLE
      Zips the one hub bundle (sealed beforehand) into ZIP, signs its manifest, and prints the hub-release
      record that the service announces at /v1/hub/latest.
  delta --from A.ZIP --from-release A.JSON --to B.ZIP --out FILE [--url URL] [--level N]
      Writes the delta that builds release B's bundles from release A's, and prints its record for B's
      manifest. A.JSON is A's catalogue or hub-release record (its version, manifest and digest); URL is
      where the delta is served, relative to B's download address (default: FILE's name) or absolute;
      N is the zstd level (default 19).
  demo --keys DIR --out DIR [--hub-bundle APP] [--hub-version V]
      The demo service's data folder: twelve products with sealed releases in all three formats,
      icons, test-build artwork, a subscription and an offer, and (with --hub-bundle) a newer hub
      release made from the built bundle APP (version V, default: the bundle's minor version + 1).
      Release records kept out of the catalogue go to DIR/extras/.
  macho --out FILE --architectures a[,b] [--payload TEXT]
      Writes a Mach-O test executable: thin 64-bit for one architecture, universal for several.
  --help
      This text.
)";

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    std::string required(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) throw std::invalid_argument("missing --" + name);
        return found->second;
    }
    std::string value(const std::string& name, const std::string& fallback) const {
        const auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
    bool flag(const std::string& name) const { return options.contains(name); }
};

Arguments parse(int argc, char** argv, const std::vector<std::string>& flags) {
    Arguments arguments;
    for (int index = 2; index < argc; ++index) {
        const std::string argument = argv[index];
        if (!argument.starts_with("--")) {
            arguments.positional.push_back(argument);
            continue;
        }
        const auto name = argument.substr(2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            arguments.options[name] = "";
        } else if (index + 1 < argc) {
            arguments.options[name] = argv[++index];
        } else {
            throw std::invalid_argument(argument + " needs a value");
        }
    }
    return arguments;
}

std::vector<maker::DeltaRecord> deltaRecords(const Arguments& arguments) {
    if (!arguments.flag("deltas")) return {};
    const auto value = nlohmann::json::parse(platform::readFile(arguments.required("deltas"), 1 << 20));
    std::vector<maker::DeltaRecord> records;
    for (const auto& record : value.is_array() ? value : nlohmann::json::array({value}))
        records.push_back(maker::DeltaRecord::fromJSON(record));
    return records;
}

int delta(const Arguments& arguments) {
    const std::filesystem::path out = arguments.required("out");
    platform::DeltaOptions options;
    options.compressionLevel = std::stoi(arguments.value("level", std::to_string(options.compressionLevel)));
    const auto fromRelease =
        nlohmann::json::parse(platform::readFile(arguments.required("from-release"), 1 << 20));
    const auto made = maker::makeDelta(arguments.required("from"), fromRelease, arguments.required("to"), out,
                                       arguments.value("url", out.filename().string()), options);
    const auto& statistics = made.statistics;
    std::cerr << statistics.entries << " entries; bytes same " << statistics.bytesSame << ", patched "
              << statistics.bytesPatched << ", new " << statistics.bytesNew << "; delta "
              << statistics.deltaBytes << " bytes\n";
    std::cout << made.record.json().dump(2) << "\n";
    return 0;
}

int release(const Arguments& arguments) {
    const auto trust = maker::readTrustSet(arguments.required("keys"));
    maker::ReleaseSpec spec;
    spec.releaseID = arguments.value("release-id", spec.releaseID);
    spec.productID = arguments.value("product-id", spec.productID);
    spec.slug = arguments.value("slug", spec.slug);
    spec.name = arguments.value("name", spec.name);
    spec.bundleID = arguments.value("bundle-id", spec.bundleID);
    spec.version = arguments.value("version", spec.version);
    spec.channel = arguments.value("channel", spec.channel);
    spec.architectures = split(arguments.value("architectures", "arm64,x86_64"), ',');
    spec.minimumOS = arguments.value("minimum-os", spec.minimumOS);
    spec.minimumHubVersion = arguments.value("minimum-hub-version", spec.minimumHubVersion);
    spec.downloadURL = arguments.value("download-url", spec.downloadURL);
    if (arguments.flag("audio-unit")) {
        const auto parts = split(arguments.required("audio-unit"), ',');
        if (parts.size() != 3) throw std::invalid_argument("--audio-unit needs TYPE,SUBTYPE,MANUFACTURER");
        spec.audioUnit = nlohmann::json{{"bundle_id", spec.bundleID + ".au"},
                                        {"type", parts[0]},
                                        {"subtype", parts[1]},
                                        {"manufacturer", parts[2]}};
    }
    if (arguments.flag("clap"))
        spec.clap = nlohmann::json{{"bundle_id", spec.bundleID + ".clap"}, {"plugin_id", spec.bundleID}};
    if (arguments.flag("no-vst3")) spec.vst3 = false;
    if (arguments.flag("audience")) spec.audience = arguments.required("audience");
    spec.deltas = deltaRecords(arguments);
    for (const auto& bundle : arguments.positional) spec.bundles.emplace_back(bundle);
    if (spec.bundles.empty()) throw std::invalid_argument("release needs at least one bundle");
    const auto packaged = maker::packageRelease(spec, arguments.required("out"), trust.service.privatePEM);
    std::cout << packaged.release.dump(2) << "\n";
    return 0;
}

int hubRelease(const Arguments& arguments) {
    const auto trust = maker::readTrustSet(arguments.required("keys"));
    if (arguments.positional.size() != 1) throw std::invalid_argument("hub-release needs one bundle");
    maker::ReleaseSpec spec;
    spec.productID = "halvex-hub";
    spec.bundleID = "com.halvex.hub";
    spec.slug = "halvex-hub";
    spec.name = "HALVEX HUB";
    spec.version = arguments.required("version");
    spec.releaseID = arguments.value("release-id", "hub_" + spec.version);
    spec.architectures = split(arguments.value("architectures", "x86_64"), ',');
    spec.minimumOS = arguments.value("minimum-os", "5.10");
    spec.minimumHubVersion = "0.0.0";
    spec.downloadURL = arguments.required("download-url");
    spec.publishedAt = static_cast<std::int64_t>(std::time(nullptr));
    spec.bundles = {arguments.positional[0]};
    spec.deltas = deltaRecords(arguments);
    const auto packaged = maker::packageRelease(spec, arguments.required("out"), trust.service.privatePEM);
    std::cout << maker::hubReleaseRecord(packaged, arguments.value("release-notes", "")).dump(2) << "\n";
    return 0;
}

int run(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "--help";
    if (command == "--help" || command == "help") {
        std::cout << usage;
        return 0;
    }
    if (command == "keys") {
        const auto arguments = parse(argc, argv, {});
        maker::writeTrustSet(maker::makeTrustSet(arguments.required("team")), arguments.required("out"));
        return 0;
    }
    if (command == "tls") {
        const auto arguments = parse(argc, argv, {});
        maker::writeServerTrust(maker::makeLoopbackServerTrust(), arguments.required("out"));
        return 0;
    }
    if (command == "seal") {
        const auto arguments = parse(argc, argv, {});
        if (arguments.positional.size() != 1) throw std::invalid_argument("seal needs one bundle");
        const auto trust = maker::readTrustSet(arguments.required("keys"));
        maker::sealBundle(arguments.positional[0], arguments.required("identifier"), trust.leaf);
        return 0;
    }
    if (command == "token") {
        const auto arguments = parse(argc, argv, {});
        const auto trust = maker::readTrustSet(arguments.required("keys"));
        std::cout << maker::signToken(platform::readFile(arguments.required("manifest"), 1 << 20),
                                      trust.service.privatePEM)
                  << "\n";
        return 0;
    }
    if (command == "release") return release(parse(argc, argv, {"clap", "no-vst3"}));
    if (command == "hub-release") return hubRelease(parse(argc, argv, {}));
    if (command == "delta") return delta(parse(argc, argv, {}));
    if (command == "demo") {
        const auto arguments = parse(argc, argv, {});
        maker::DemoServiceOptions options{.out = arguments.required("out")};
        if (arguments.flag("hub-bundle")) options.hubBundle = arguments.required("hub-bundle");
        if (arguments.flag("hub-version")) options.hubVersion = arguments.required("hub-version");
        maker::writeDemoServiceData(maker::readTrustSet(arguments.required("keys")), options);
        return 0;
    }
    if (command == "macho") {
        const auto arguments = parse(argc, argv, {});
        std::vector<std::uint32_t> cpuTypes;
        for (const auto& name : split(arguments.required("architectures"), ','))
            cpuTypes.push_back(maker::cpuTypeNamed(name));
        std::ofstream(arguments.required("out"), std::ios::binary)
            << maker::machOExecutable(cpuTypes, arguments.value("payload", "engine"));
        return 0;
    }
    throw std::invalid_argument("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::invalid_argument& error) {
        std::cerr << "halvex-maker: " << error.what() << "\n\n" << usage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "halvex-maker: " << error.what() << "\n";
        return 1;
    }
}
