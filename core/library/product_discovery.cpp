#include "core/library/product_discovery.h"

#include <array>

namespace halvex {

ProductDiscovery ProductDiscovery::decode(const json::JSONObject& object) {
    return {
        object.required<std::string>("category"), object.required<std::string>("tagline"),
        object.required<std::string>("overview"), object.required<std::vector<std::string>>("features"),
        object.optional<std::string>("artist"),   object.optional<std::string>("accent"),
    };
}

nlohmann::json ProductDiscovery::encode() const {
    nlohmann::json object = {
        {"category", category}, {"tagline", tagline}, {"overview", overview}, {"features", features}};
    json::putOptional(object, "artist", artist);
    json::putOptional(object, "accent", accent);
    return object;
}

std::optional<std::uint32_t> ProductDiscovery::accentRGB() const {
    // Seven bytes of "#" and ASCII hex digits are also seven user-perceived characters; any other text
    // (including longer text with combining marks) fails one of these checks.
    if (!accent || accent->size() != 7 || accent->front() != '#') return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t index = 1; index < 7; ++index) {
        const char c = (*accent)[index];
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = (value << 4) | digit;
    }
    return value;
}

namespace {

const std::vector<std::string> toneFeatures = {"Analog-modelled saturation stages", "Mid/side processing",
                                               "Oversampling up to 8x", "Preset browser with tags"};
const std::vector<std::string> spaceFeatures = {"Stereo and mono modes", "Tempo-synced times",
                                                "Freeze and ducking", "Low CPU footprint"};
const std::vector<std::string> synthFeatures = {"Eight-voice polyphony", "Modulation matrix", "MPE support",
                                                "Over 300 factory presets"};

struct BundledRow {
    const char* slug;
    ProductDiscovery discovery;
};

const std::array<BundledRow, 12>& bundledTable() {
    static const std::array<BundledRow, 12> table = {{
        {"aurora-delay",
         {"Delay", "Echoes that glow.",
          "A tape-inspired delay with a shimmering feedback path. "
          "Long trails stay clear even at high feedback.",
          spaceFeatures, std::nullopt, std::nullopt}},
        {"basalt-compressor",
         {"Dynamics", "Weight without squash.",
          "A program-dependent compressor for drums and "
          "buses. Its release follows the music.",
          toneFeatures, std::nullopt, std::nullopt}},
        {"cinder-drive",
         {"Saturation", "Heat you can dial in.",
          "Three drive circuits from gentle warmth to full "
          "fuzz, with a tone stack after each.",
          toneFeatures, std::nullopt, std::nullopt}},
        {"drift-chorus",
         {"Modulation", "Movement for every part.",
          "A chorus and ensemble built on slow, "
          "independent LFOs.",
          spaceFeatures, std::nullopt, std::nullopt}},
        {"ember-synth",
         {"Synthesizer", "Warm voices, modern control.",
          "A subtractive synthesizer with two "
          "oscillators, a sub and a drifting filter. Built for pads and basses.",
          synthFeatures, std::nullopt, std::nullopt}},
        {"fjord-reverb",
         {"Reverb", "Cold air, wide rooms.",
          "Algorithmic halls and plates with a gentle "
          "modulation that keeps tails alive.",
          spaceFeatures, std::nullopt, std::nullopt}},
        {"glacier-eq",
         {"Equalizer", "Clean moves, clear mixes.",
          "A linear and minimum phase equalizer with "
          "dynamic bands.",
          toneFeatures, std::nullopt, std::nullopt}},
        {"harbor-limiter",
         {"Mastering", "Loud and still breathing.",
          "A transparent limiter with true-peak "
          "detection and loudness metering.",
          toneFeatures, std::nullopt, std::nullopt}},
        {"iris-filter",
         {"Filter", "Sweeps with character.",
          "A multimode filter with envelope follower and "
          "step sequencer.",
          synthFeatures, std::nullopt, std::nullopt}},
        {"juniper-keys",
         {"Instrument", "Electric piano stories.",
          "Sampled electric pianos recorded through "
          "vintage amplifiers. Every key has six velocity layers.",
          synthFeatures, std::string("Mara Lindqvist"), std::nullopt}},
        {"kestrel-gate",
         {"Dynamics", "Silence on cue.",
          "A gate and expander with sidechain filtering and "
          "lookahead.",
          toneFeatures, std::nullopt, std::nullopt}},
        {"lumen-shimmer",
         {"Reverb", "Light above the mix.",
          "A pitch-shifting reverb that adds octaves to its "
          "tail.",
          spaceFeatures, std::nullopt, std::nullopt}},
    }};
    return table;
}

}  // namespace

std::vector<std::string_view> ProductDiscovery::bundledSlugs() {
    std::vector<std::string_view> slugs;
    for (const auto& row : bundledTable()) slugs.emplace_back(row.slug);
    return slugs;
}

const ProductDiscovery& ProductDiscovery::bundled(std::string_view slug) {
    for (const auto& row : bundledTable()) {
        if (slug == row.slug) return row.discovery;
    }
    static const ProductDiscovery fallback{"Plugin",
                                           "Explore your next sound.",
                                           "A HALVEX plugin. Open the product page for details.",
                                           {},
                                           std::nullopt,
                                           std::nullopt};
    return fallback;
}

}  // namespace halvex
