#include "core/foundation/semantic_version.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace halvex {
namespace {

struct Ordered {
    const char* newer;
    const char* older;
};

void PrintTo(const Ordered& row, std::ostream* out) {
    *out << row.newer << " > " << row.older;
}

class NewerThan : public testing::TestWithParam<Ordered> {};

TEST_P(NewerThan, OrdersOneWayOnly) {
    EXPECT_TRUE(SemanticVersion::isNewer(GetParam().newer, GetParam().older));
    EXPECT_FALSE(SemanticVersion::isNewer(GetParam().older, GetParam().newer));
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, NewerThan,
    testing::Values(Ordered{"1.2.10", "1.2.9"}, Ordered{"2.0.0", "1.99.99"}, Ordered{"1.0.0", "1.0.0-rc.1"},
                    Ordered{"1.0.0-alpha.1", "1.0.0-alpha"}, Ordered{"1.0.0-alpha.beta", "1.0.0-alpha.1"},
                    Ordered{"1.0.0-rc.11", "1.0.0-rc.2"}, Ordered{"1.0.0-beta", "1.0.0-alpha"},
                    Ordered{"1.0.0-alpha", "1.0.0-RC"}, Ordered{"1.0.0-rc.0", "1.0.0-rc.-1"},
                    Ordered{"1.2.4", "01.2.3"}, Ordered{"1.2.3-8", "1.2.3-007"},
                    Ordered{"1.2.3-x-y", "1.2.3-x"},
                    // Text compares in composed form: decomposed "é" still follows "f".
                    Ordered{"1.0.0-\u00e9", "1.0.0-f"}, Ordered{"1.0.0-e\u0301", "1.0.0-f"},
                    Ordered{"9223372036854775807.0.0", "9223372036854775806.9.9"}));

struct Equivalent {
    const char* left;
    const char* right;
};

void PrintTo(const Equivalent& row, std::ostream* out) {
    *out << row.left << " ~ " << row.right;
}

class NeitherNewer : public testing::TestWithParam<Equivalent> {};

TEST_P(NeitherNewer, IsFalseBothWays) {
    EXPECT_FALSE(SemanticVersion::isNewer(GetParam().left, GetParam().right));
    EXPECT_FALSE(SemanticVersion::isNewer(GetParam().right, GetParam().left));
}

INSTANTIATE_TEST_SUITE_P(Equal, NeitherNewer,
                         testing::Values(Equivalent{"1.2.3+build.5", "1.2.3+build.4"},
                                         Equivalent{"1.2.3+", "1.2.3"}, Equivalent{"1.2.3+a+b", "1.2.3"},
                                         Equivalent{"01.2.3", "1.2.3"}, Equivalent{"1.02.3", "1.2.3"},
                                         Equivalent{"1.2.3-007", "1.2.3-7"},
                                         Equivalent{"1.0.0-rc.1", "1.0.0-rc.1"},
                                         Equivalent{"1.0.0-\u00e9", "1.0.0-e\u0301"}));

class Unparseable : public testing::TestWithParam<std::string> {};

TEST_P(Unparseable, IsNeverNewerOnEitherSide) {
    for (const char* other : {"0.0.0", "1.2.3", "99.0.0", "1.2.3-alpha"}) {
        EXPECT_FALSE(SemanticVersion::isNewer(GetParam(), other)) << other;
        EXPECT_FALSE(SemanticVersion::isNewer(other, GetParam())) << other;
    }
}

INSTANTIATE_TEST_SUITE_P(Rejected, Unparseable,
                         testing::Values("1.2", "1.2.3.4", "v1.2.3", " 1.2.3", "1.2.3 ", "1.x.3", "", "1..3",
                                         "1.2.3-", "1.2.3-a..b", "1.2.3-.a", "1.2.3-a.",
                                         "9223372036854775808.0.0", "1.2.-3", "1.2.+", "-1.2.3", "+1.2.3",
                                         "1.2.3\n", "\xff.2.3"));

// Generated versions mix the interesting pieces: equal cores with and without pre-releases, numeric and
// text identifiers, build metadata, leading zeros and signs.
std::vector<std::string> generatedVersions(std::mt19937& random, int count) {
    const std::vector<std::string> numbers = {"0", "1", "01", "2", "10"};
    const std::vector<std::string> identifiers = {"0",  "1",  "-1",  "01",     "alpha",  "beta",
                                                  "RC", "rc", "x-y", "\u00e9", "e\u0301"};
    std::vector<std::string> result;
    for (int index = 0; index < count; ++index) {
        auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
        std::string version = pick(numbers) + "." + pick(numbers) + "." + pick(numbers);
        const int preReleaseLength = static_cast<int>(random() % 4);
        for (int part = 0; part < preReleaseLength; ++part)
            version += (part == 0 ? "-" : ".") + pick(identifiers);
        if (random() % 4 == 0) version += "+build." + pick(numbers);
        result.push_back(version);
    }
    return result;
}

TEST(SemanticVersionOrder, IsAStrictWeakOrderOverGeneratedVersions) {
    std::mt19937 random(20261210);
    const auto versions = generatedVersions(random, 50);
    const auto newer = [](const std::string& a, const std::string& b) {
        return SemanticVersion::isNewer(a, b);
    };
    const auto equivalent = [&](const std::string& a, const std::string& b) {
        return !newer(a, b) && !newer(b, a);
    };
    for (const auto& a : versions) {
        ASSERT_FALSE(newer(a, a)) << a;
        for (const auto& b : versions) {
            ASSERT_FALSE(newer(a, b) && newer(b, a)) << a << " / " << b;
            for (const auto& c : versions) {
                if (newer(a, b) && newer(b, c)) {
                    ASSERT_TRUE(newer(a, c)) << a << " > " << b << " > " << c;
                }
                if (equivalent(a, b) && equivalent(b, c)) {
                    ASSERT_TRUE(equivalent(a, c)) << a << " ~ " << b << " ~ " << c;
                }
            }
        }
    }
}

}  // namespace
}  // namespace halvex
