#include "tools/maker/demo_service_data.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/sha256.h"
#include "tools/maker/demo_images.h"

namespace halvex::maker {

namespace {

using platform::PropertyValue;

struct Formats {
    bool vst3 = true;
    std::optional<std::string> audioUnitType = "aufx";  // "aumu" for instruments
    bool clap = true;
};

struct DemoRelease {
    std::string version;
    std::string channel = "stable";
    Formats formats{};
    bool artwork = false;
    std::optional<std::string> audience{};
    // Served but left out of the catalogue (written to extras/).
    bool extra = false;
};

struct DemoProduct {
    std::string slug;
    std::string name;
    std::string subtype;  // the Audio Unit subtype code
    std::uint32_t accent;
    bool owned;
    std::optional<std::string> accessSource;
    std::optional<std::string> visibility;
    std::optional<bool> betaAccess;
    std::vector<DemoRelease> releases;
};

const Formats vst3Only{true, std::nullopt, false};
const Formats vst3AndClap{true, std::nullopt, true};
const Formats vst3AndAudioUnit{true, "aufx", false};
const Formats instrument{true, "aumu", true};
const Formats clapOnly{false, std::nullopt, true};

// The catalogue a signed-in demo user sees. Aurora Delay lists 1.2.0 before 1.3.0, so the install action
// takes 1.2.0 and an update to 1.3.0 follows; 1.4.0 waits in extras/.
std::vector<DemoProduct> demoProducts() {
    // One product per row reads as the table it is.
    // clang-format off
    return {
        {"aurora-delay", "Aurora Delay", "Aurd", 0x59c3ff, true, "purchase", {}, {},
         {{"1.2.0"}, {"1.3.0"}, {.version = "1.4.0", .extra = true}}},
        {"basalt-compressor", "Basalt Compressor", "Bslt", 0xff8a5b, true, "subscription", {}, {},
         {{.version = "2.0.1", .formats = vst3Only}}},
        {"cinder-drive", "Cinder Drive", "Cndr", 0xff5b6e, true, "purchase", {}, true,
         {{"1.4.0"}, {.version = "1.5.0-beta.2", .channel = "beta", .artwork = true}}},
        {"drift-chorus", "Drift Chorus", "Drft", 0x7fe0b6, true, "subscription", {}, {},
         {{.version = "1.0.3", .formats = vst3AndClap}}},
        {"ember-synth", "Ember Synth", "Embr", 0xffb347, false, {}, {}, {},
         {{.version = "1.1.0", .formats = instrument}}},
        {"fjord-reverb", "Fjord Reverb", "Fjrd", 0x6fa8ff, true, "purchase_and_subscription", {}, {},
         {{"3.2.0"}}},
        {"glacier-eq", "Glacier EQ", "Glcr", 0x9be7ff, true, "subscription", {}, {},
         {{.version = "1.0.0", .formats = vst3AndAudioUnit}}},
        {"harbor-limiter", "Harbor Limiter", "Hrbr", 0xc3a6ff, false, {}, {}, {}, {{"2.1.0"}}},
        {"iris-filter", "Iris Filter", "Iris", 0xe07fff, true, "private_beta", "private", true,
         {{.version = "0.9.0-beta.3",
           .channel = "beta",
           .formats = clapOnly,
           .artwork = true,
           .audience = "internal"}}},
        {"juniper-keys", "Juniper Keys", "Jnpr", 0x8fd16a, true, "complimentary", {}, {},
         {{.version = "1.2.2", .formats = instrument}}},
        {"kestrel-gate", "Kestrel Gate", "Kstr", 0xf2d35b, true, "subscription", {}, {},
         {{.version = "1.1.0", .formats = vst3Only}}},
        {"lumen-shimmer", "Lumen Shimmer", "Lumn", 0xfff1a8, false, {}, {}, {}, {{"1.0.0"}}},
    };
    // clang-format on
}

constexpr const char* baseURL = "{{BASE_URL}}";
// Store pages open in the user's own browser, which the stand-in reaches over plain http.
constexpr const char* browserURL = "{{BROWSER_URL}}";
constexpr std::size_t presetBytes = 3 * 1024 * 1024;

std::string wordOf(const std::string& slug) {
    std::string word;
    for (const char c : slug) {
        if (c != '-') word += c;
    }
    return word;
}

std::string idSafe(const std::string& version) {
    std::string text = version;
    for (auto& c : text) {
        if (c == '.' || c == '-') c = '_';
    }
    return text;
}

std::string fuid(const std::string& seed) {
    std::string hex = platform::sha256Hex(seed).substr(0, 32);
    for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

std::string thisMachine() {
    utsname name{};
    ::uname(&name);
    const std::string machine = name.machine;
    return machine == "aarch64" ? "arm64" : machine;
}

// Factory presets: incompressible, so that a download takes long enough to show its progress.
std::string presetData(const std::string& seed) {
    std::seed_seq sequence(seed.begin(), seed.end());
    std::mt19937_64 random(sequence);
    std::string bytes(presetBytes, '\0');
    for (std::size_t index = 0; index + 8 <= bytes.size(); index += 8) {
        const auto value = random();
        std::memcpy(bytes.data() + index, &value, 8);
    }
    return bytes;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::filesystem::path writeBundle(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& identifier, const std::string& version,
                                  const std::string& executable, const std::string& payload,
                                  PropertyValue::Dictionary info = {}) {
    const auto bundle = folder / name;
    info.emplace("CFBundleIdentifier", identifier);
    info.emplace("CFBundleShortVersionString", version);
    info.emplace("CFBundleExecutable", executable);
    writeFile(bundle / "Contents" / "Info.plist", platform::xmlPropertyList(PropertyValue(info)));
    writeFile(bundle / "Contents" / "MacOS" / executable,
              machOExecutable({cpuTypeARM64, cpuTypeX86_64}, payload));
    return bundle;
}

class DemoWriter {
  public:
    DemoWriter(const TrustSet& trust, std::filesystem::path out)
        : trust_(trust), out_(std::move(out)), work_(out_ / ".work") {}

    nlohmann::json release(const DemoProduct& product, const DemoRelease& release) {
        const std::string word = wordOf(product.slug);
        const std::string bundleID = "com.halvex." + word;
        const std::string stem = product.slug + "-" + release.version;
        const auto source = work_ / stem;
        const std::string engine = "engine " + product.slug + " " + release.version;
        const std::string executable = product.name.substr(0, product.name.find(' '));

        std::optional<std::filesystem::path> vst3;
        if (release.formats.vst3) {
            vst3 = writeBundle(source, executable + ".vst3", bundleID, release.version, executable, engine);
            writeFile(*vst3 / "Contents" / "Resources" / "factory-presets.bin", presetData(stem));
            sealBundle(*vst3, bundleID, trust_.leaf);
        }
        const auto wrapper = [&](const std::string& extension, const std::string& suffix,
                                 PropertyValue::Dictionary info) {
            const auto bundle =
                writeBundle(source, executable + extension, bundleID + suffix, release.version,
                            executable + suffix.substr(1), suffix.substr(1), std::move(info));
            const auto inner = writeBundle(bundle / "Contents" / "Resources", "plugin.bundle", bundleID,
                                           release.version, executable, engine);
            sealBundle(inner, bundleID, trust_.leaf);
            if (!vst3) writeFile(bundle / "Contents" / "Resources" / "factory-presets.bin", presetData(stem));
            sealBundle(bundle, bundleID + suffix, trust_.leaf);
        };

        ReleaseSpec spec;
        spec.releaseID = "rel_" + word + "_" + idSafe(release.version);
        spec.productID = "prod_" + word;
        spec.slug = product.slug;
        spec.name = product.name;
        spec.bundleID = bundleID;
        spec.version = release.version;
        spec.channel = release.channel;
        spec.minimumOS = "5.0";
        spec.minimumHubVersion = "1.0.5";
        spec.downloadURL = std::string(baseURL) + "/files/releases/" + stem + ".zip";
        spec.publishedAt = 1'760'000'000 + static_cast<std::int64_t>(++published_) * 86'400;
        spec.audience = release.audience;
        if (!release.formats.vst3) spec.vst3 = false;
        if (release.formats.audioUnitType) {
            PropertyValue::Array components = {
                PropertyValue::Dictionary{{"type", *release.formats.audioUnitType},
                                          {"subtype", product.subtype},
                                          {"manufacturer", std::string("Hlvx")}}};
            wrapper(".component", ".au", {{"AudioComponents", components}});
            spec.audioUnit = nlohmann::json{{"bundle_id", bundleID + ".au"},
                                            {"type", *release.formats.audioUnitType},
                                            {"subtype", product.subtype},
                                            {"manufacturer", "Hlvx"}};
        }
        if (release.formats.clap) {
            wrapper(".clap", ".clap", {{"HVXCLAPPluginID", bundleID}});
            spec.clap = nlohmann::json{{"bundle_id", bundleID + ".clap"}, {"plugin_id", bundleID}};
        }
        for (const auto& entry : std::filesystem::directory_iterator(source))
            spec.bundles.push_back(entry.path());
        std::sort(spec.bundles.begin(), spec.bundles.end());
        auto packaged =
            packageRelease(spec, out_ / "files" / "releases" / (stem + ".zip"), trust_.service.privatePEM);
        if (release.artwork) {
            writeFile(out_ / "artwork" / (spec.releaseID + ".png"),
                      demoInterface(product.accent, published_));
        }
        return packaged.release;
    }

    nlohmann::json product(const DemoProduct& product) {
        const std::string word = wordOf(product.slug);
        const std::string bundleID = "com.halvex." + word;
        writeFile(out_ / "files" / "media" / "icons" / (product.slug + ".png"),
                  demoIcon(product.accent, static_cast<unsigned>(product.name.size())));
        nlohmann::json record = {
            {"product_id", "prod_" + word},
            {"slug", product.slug},
            {"name", product.name},
            {"bundle_id", bundleID},
            {"vst3_processor_fuid", fuid(bundleID + ":processor")},
            {"vst3_controller_fuid", fuid(bundleID + ":controller")},
            {"icon_url", std::string(baseURL) + "/files/media/icons/" + product.slug + ".png"},
            {"owned", product.owned},
            {"purchase_url", std::string(browserURL) + "/store/" + product.slug}};
        if (product.accessSource) record["access_source"] = *product.accessSource;
        if (product.visibility) record["visibility"] = *product.visibility;
        if (product.betaAccess) record["beta_access"] = *product.betaAccess;
        return record;
    }

    nlohmann::json hubRelease(const std::filesystem::path& built, const std::optional<std::string>& version) {
        const auto bundle = work_ / "hub" / "HALVEX HUB.app";
        std::filesystem::create_directories(bundle.parent_path());
        std::filesystem::copy(
            built, bundle,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
        const auto infoPath = bundle / "Contents" / "Info.plist";
        auto info = *platform::readPropertyList(infoPath).dictionary();
        const std::string newVersion =
            version ? *version : raisedMinor(info.at("CFBundleShortVersionString"));
        info["CFBundleShortVersionString"] = newVersion;
        info["CFBundleVersion"] = newVersion;
        writeFile(infoPath, platform::xmlPropertyList(PropertyValue(info)));
        std::filesystem::remove_all(bundle / "Contents" / "_CodeSignature");
        sealBundle(bundle, "com.halvex.hub", trust_.leaf);

        const std::string name = "HALVEX-HUB-" + newVersion + ".zip";
        ReleaseSpec spec;
        spec.releaseID = "hub_" + idSafe(newVersion);
        spec.productID = "halvex-hub";
        spec.slug = "halvex-hub";
        spec.name = "HALVEX HUB";
        spec.bundleID = "com.halvex.hub";
        spec.version = newVersion;
        spec.architectures = {thisMachine()};
        spec.minimumOS = "5.0";
        spec.downloadURL = std::string(baseURL) + "/files/hub/" + name;
        spec.publishedAt = 1'770'000'000;
        spec.bundles = {bundle};
        auto packaged = packageRelease(spec, out_ / "files" / "hub" / name, trust_.service.privatePEM);
        packaged.release["release_notes"] = "Faster library search and clearer update notices.";
        return packaged.release;
    }

    void finish() { std::filesystem::remove_all(work_); }

  private:
    static std::string raisedMinor(const PropertyValue& version) {
        const std::string text = version.string() != nullptr ? *version.string() : "1.0.0";
        const auto first = text.find('.');
        const auto second = text.find('.', first + 1);
        if (first == std::string::npos)
            throw std::runtime_error("hub version " + text + " has no minor part");
        const int minor = std::stoi(text.substr(first + 1, second - first - 1));
        return text.substr(0, first) + "." + std::to_string(minor + 1) + ".0";
    }

    const TrustSet& trust_;
    std::filesystem::path out_;
    std::filesystem::path work_;
    unsigned published_ = 0;
};

void writeJSON(const std::filesystem::path& path, const nlohmann::json& value) {
    writeFile(path, value.dump(2) + "\n");
}

}  // namespace

void writeDemoServiceData(const TrustSet& trust, const DemoServiceOptions& options) {
    const auto out = std::filesystem::absolute(options.out).lexically_normal();
    const auto making = out.parent_path() / ("." + out.filename().string() + "-making");
    std::filesystem::remove_all(making);
    struct Cleanup {
        std::filesystem::path path;
        ~Cleanup() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } cleanup{making};

    DemoWriter writer(trust, making);
    nlohmann::json products = nlohmann::json::array();
    nlohmann::json releases = nlohmann::json::array();
    for (const auto& product : demoProducts()) {
        products.push_back(writer.product(product));
        for (const auto& release : product.releases) {
            auto record = writer.release(product, release);
            if (release.extra) {
                writeJSON(making / "extras" / (product.slug + "-" + release.version + ".json"), record);
            } else {
                releases.push_back(std::move(record));
            }
        }
    }
    writeFile(making / "files" / "media" / "icons" / "nova-access.png", demoIcon(0x7fe0b6, 3));
    const std::string icon = std::string(baseURL) + "/files/media/icons/nova-access.png";
    writeJSON(making / "catalog.json", {{"subscription",
                                         {{"plan_id", "nova-access"},
                                          {"name", "NOVA ACCESS"},
                                          {"status", "active"},
                                          {"access_until", 1'830'297'600},
                                          {"icon_url", icon}}},
                                        {"subscription_offer",
                                         {{"plan_id", "nova-access-annual"},
                                          {"name", "NOVA ACCESS Annual"},
                                          {"purchase_url", std::string(browserURL) + "/store/nova-access"},
                                          {"icon_url", icon}}},
                                        {"products", products},
                                        {"releases", releases}});
    if (options.hubBundle) {
        writeJSON(making / "hub-latest.json", writer.hubRelease(*options.hubBundle, options.hubVersion));
    }
    writer.finish();

    std::filesystem::remove_all(out);
    std::filesystem::rename(making, out);
}

}  // namespace halvex::maker
