// LibrarySearch::filter over a 10,000-product catalogue with a two-term query (Google Benchmark).

#include <benchmark/benchmark.h>

#include "core/library/library_search.h"
#include "core/library/library_search_index.h"

namespace {

using namespace halvex;

std::vector<Product> catalogue() {
    const char* words[] = {"Deep", "Bright", "Warm", "Vintage", "Glass", "Iron", "Velvet", "Storm"};
    const char* categories[] = {"Reverb", "Delay", "Compressor", "Synthesizer", "Equalizer"};
    std::vector<Product> products;
    for (int index = 0; index < 10000; ++index) {
        ProductDiscovery discovery{
            categories[index % 5],
            std::string("A ") + words[(index / 3) % 8] + " caf\u00e9 tone.",
            "Overview.",
            {},
            index % 7 == 0 ? std::optional<std::string>("Mara Lindqvist") : std::nullopt,
            std::nullopt};
        products.push_back(Product{
            "prod_" + std::to_string(index), "slug-" + std::to_string(index),
            std::string(words[index % 8]) + " " + words[(index / 8) % 8] + " " + std::to_string(index),
            "com.halvex.p" + std::to_string(index), "P", "C", *Url::parse("https://cdn.example/i.png"),
            index % 2 == 0, std::nullopt, std::nullopt, std::nullopt, std::nullopt, discovery});
    }
    return products;
}

void filterTwoTerms(benchmark::State& state) {
    const auto products = catalogue();
    std::size_t kept = 0;
    for (auto _ : state) {
        kept = LibrarySearch::filter(products, LibraryScope::all, {}, std::nullopt, std::nullopt, "deep CAFE")
                   .size();
        benchmark::DoNotOptimize(kept);
    }
    state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(filterTwoTerms)->Unit(benchmark::kMillisecond);

// What the window does per keystroke: the search texts are folded once per catalogue.
void indexedFilterTwoTerms(benchmark::State& state) {
    const auto products = catalogue();
    const LibrarySearchIndex index(products);
    std::size_t kept = 0;
    for (auto _ : state) {
        kept = index.filter(LibraryScope::all, {}, std::nullopt, std::nullopt, "deep CAFE").size();
        benchmark::DoNotOptimize(kept);
    }
    state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(indexedFilterTwoTerms)->Unit(benchmark::kMillisecond);

void buildIndex(benchmark::State& state) {
    const auto products = catalogue();
    for (auto _ : state) {
        LibrarySearchIndex index(products);
        benchmark::DoNotOptimize(index);
    }
}
BENCHMARK(buildIndex)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
