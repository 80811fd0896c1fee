#include "core/library/library_search.h"

#include <gtest/gtest.h>

#include <map>

#include "core/library/library_search_index.h"

namespace halvex {
namespace {

Product product(const std::string& id, const std::string& name, std::optional<ProductDiscovery> discovery,
                bool owned = true, std::optional<std::string> access = std::nullopt,
                const std::string& slug = "x") {
    return Product{id,
                   slug,
                   name,
                   "com.halvex." + id,
                   "P",
                   "C",
                   *Url::parse("https://cdn.example/i.png"),
                   owned,
                   access,
                   std::nullopt,
                   std::nullopt,
                   std::nullopt,
                   std::move(discovery)};
}

ProductDiscovery texts(const std::string& category, const std::string& tagline,
                       std::optional<std::string> artist = std::nullopt) {
    return {category,          tagline,     "Overview mentions verb.", {"Feature mentions verb"},
            std::move(artist), std::nullopt};
}

std::vector<std::string> ids(const std::vector<Product>& products) {
    std::vector<std::string> result;
    for (const auto& item : products) result.push_back(item.productID);
    return result;
}

// Filters with LibrarySearch and with a LibrarySearchIndex, which must agree, and returns the kept ids.
std::vector<std::string> bothFilters(const std::vector<Product>& products, LibraryScope scope,
                                     const std::set<std::string>& installed,
                                     const std::optional<std::string>& category,
                                     const std::optional<std::string>& artist, const std::string& query) {
    const auto direct = ids(LibrarySearch::filter(products, scope, installed, category, artist, query));
    std::vector<std::string> indexed;
    for (const auto position :
         LibrarySearchIndex(products).filter(scope, installed, category, artist, query)) {
        indexed.push_back(products[position].productID);
    }
    EXPECT_EQ(indexed, direct) << "index and filter disagree on \"" << query << "\"";
    return direct;
}

TEST(LibraryScope, RawValuesTitlesAndInclusion) {
    EXPECT_EQ(allLibraryScopes.size(), 5u);
    for (const auto scope : allLibraryScopes) EXPECT_EQ(libraryScope(rawValue(scope)), scope);
    EXPECT_EQ(libraryScope("All"), std::nullopt);
    EXPECT_EQ(title(LibraryScope::access), "My access");

    const std::set<std::string> installed = {"p_installed"};
    const auto purchased = product("p_bought", "A", std::nullopt, true, "purchase_and_subscription");
    const auto subscribed = product("p_sub", "B", std::nullopt, true, "subscription");
    const auto noSource = product("p_none", "C", std::nullopt, true);
    const auto notOwned = product("p_installed", "D", std::nullopt, false, "purchase", "p_bought");
    EXPECT_TRUE(includes(LibraryScope::purchased, purchased, installed));
    EXPECT_FALSE(includes(LibraryScope::purchased, subscribed, installed));
    EXPECT_FALSE(includes(LibraryScope::purchased, noSource, installed));
    EXPECT_FALSE(includes(LibraryScope::purchased, notOwned, installed));
    EXPECT_TRUE(includes(LibraryScope::installed, notOwned, installed)) << "keyed on the product identifier";
    EXPECT_FALSE(includes(LibraryScope::installed, purchased, installed)) << "not on the slug";
    EXPECT_TRUE(includes(LibraryScope::discover, notOwned, installed));
    EXPECT_TRUE(includes(LibraryScope::access, subscribed, installed));

    const std::vector<Product> products = {purchased, subscribed, noSource, notOwned};
    const std::map<LibraryScope, std::vector<std::string>> expected = {
        {LibraryScope::all, {"p_bought", "p_sub", "p_none", "p_installed"}},
        {LibraryScope::access, {"p_bought", "p_sub", "p_none"}},
        {LibraryScope::purchased, {"p_bought"}},
        {LibraryScope::installed, {"p_installed"}},
        {LibraryScope::discover, {"p_installed"}},
    };
    for (const auto& [scope, kept] : expected) {
        EXPECT_EQ(bothFilters(products, scope, installed, std::nullopt, std::nullopt, ""), kept)
            << rawValue(scope);
    }
}

TEST(LibrarySearch, TermsMustAllOccurIgnoringCaseAndDiacritics) {
    const std::vector<Product> products = {
        product("a", "Deep Space", texts("Reverb", "A verb for rooms.")),
        product("b", "Deep Cut", texts("Filter", "Sharp edges.")),
        product("c", "Caf\u00e9 Keys", texts("Instrument", "Warm tones.", "Mara Lindqvist")),
        product("d", "Plain", texts("Delay", "Echoes.")),
    };
    const auto search = [&](const std::string& query) {
        return bothFilters(products, LibraryScope::all, {}, std::nullopt, std::nullopt, query);
    };
    EXPECT_EQ(search(" \t\n\u3000"), (std::vector<std::string>{"a", "b", "c", "d"}))
        << "blank queries keep all";
    EXPECT_EQ(search("deep verb"), std::vector<std::string>{"a"});
    EXPECT_EQ(search("DEEP"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(search("cafe"), std::vector<std::string>{"c"});
    EXPECT_EQ(search("LINDQVIST"), std::vector<std::string>{"c"}) << "the artist is searched";
    EXPECT_EQ(search("overview"), std::vector<std::string>{}) << "the overview is not";
    EXPECT_EQ(search("feature"), std::vector<std::string>{}) << "nor are the features";
    EXPECT_EQ(search("deep\u00a0space"), std::vector<std::string>{"a"}) << "no-break space separates terms";
    EXPECT_EQ(search("\xff"), std::vector<std::string>{})
        << "invalid UTF-8 matches nothing and does not crash";

    const auto filtered = [&](std::optional<std::string> category, std::optional<std::string> artist) {
        return bothFilters(products, LibraryScope::all, {}, category, artist, "");
    };
    EXPECT_EQ(filtered("Delay", std::nullopt), std::vector<std::string>{"d"});
    EXPECT_EQ(filtered("delay", std::nullopt), std::vector<std::string>{});
    EXPECT_EQ(filtered(std::nullopt, "Mara Lindqvist"), std::vector<std::string>{"c"});
}

TEST(ProductDiscovery, AccentColoursAndTheBuiltInTable) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::uint32_t>>> accents = {
        {"#1A2b3C", 0x1A2B3C},         {"1A2B3C", std::nullopt},  {"#1A2B3", std::nullopt},
        {"#1A2B3CD", std::nullopt},    {"#1A2B3G", std::nullopt}, {std::nullopt, std::nullopt},
        {"#1A2B3\u0301", std::nullopt}};
    for (const auto& [accent, rgb] : accents) {
        ProductDiscovery discovery{"c", "t", "o", {}, std::nullopt, accent};
        EXPECT_EQ(discovery.accentRGB(), rgb) << accent.value_or("(absent)");
    }

    const auto& fallback = ProductDiscovery::bundled("no-such-plugin");
    EXPECT_EQ(fallback.category, "Plugin");
    EXPECT_EQ(fallback.tagline, "Explore your next sound.");
    EXPECT_EQ(fallback.overview, "A HALVEX plugin. Open the product page for details.");
    EXPECT_TRUE(fallback.features.empty());
    EXPECT_EQ(ProductDiscovery::bundled("Aurora-Delay").category, "Plugin") << "slugs match exactly";
    EXPECT_EQ(ProductDiscovery::bundled("aurora-delay").category, "Delay");
    EXPECT_EQ(ProductDiscovery::bundled("juniper-keys").artist, "Mara Lindqvist");

    auto withTexts =
        product("a", "A", texts("Custom", "From the catalogue."), true, std::nullopt, "aurora-delay");
    EXPECT_EQ(withTexts.presentation().category, "Custom") << "catalogue texts win and are never mixed";
    withTexts.discovery.reset();
    EXPECT_EQ(withTexts.presentation().category, "Delay");
}

}  // namespace
}  // namespace halvex
