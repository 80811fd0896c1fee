// Measures release verification: sealing checks of a bundle, and manifest token verifications per
// second. Driven by scripts/benchmark-verification, which compares against sha256sum and openssl.
//
//   verification_benchmark seal <bundle> <identifier> <team> <anchor.pem>
//   verification_benchmark manifest <service-private.pem> <service-public.pem>

#include <chrono>
#include <iostream>
#include <string>

#include "core/trust/signed_metadata_verifier.h"
#include "platform/bundle_seal.h"
#include "platform/file_io.h"
#include "tools/maker/maker.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int seal(const std::string& bundle, const std::string& identifier, const std::string& team,
         const std::string& anchor) {
    const halvex::platform::SealRequirement requirement{
        team, identifier, {halvex::platform::readFile(anchor, 1 << 20)}};
    const auto started = std::chrono::steady_clock::now();
    const bool accepted = halvex::platform::bundleSatisfies(bundle, requirement);
    std::cout << "seconds " << secondsSince(started) << "\naccepted " << accepted << "\n";
    return accepted ? 0 : 1;
}

int manifest(const std::string& privateKey, const std::string& publicKey) {
    const std::string payload =
        R"({"schema":1,"release_id":"rel_bench","product_id":"prod","bundle_id":"com.halvex.b",)"
        R"("version":"1.0.0","platform":"macos","architectures":["arm64"],"minimum_os":"5.0",)"
        R"("size_bytes":1,"sha256":"00","minimum_hub_version":"1.0.0","channel":"stable"})";
    const auto token = halvex::maker::signToken(payload, halvex::platform::readFile(privateKey, 1 << 20));
    const auto verifier =
        halvex::SignedMetadataVerifier::fromPEM(halvex::platform::readFile(publicKey, 1 << 20));
    int count = 0;
    const auto started = std::chrono::steady_clock::now();
    while (secondsSince(started) < 3.0) {
        for (int index = 0; index < 100; ++index) (void)verifier.verifyReleaseManifest(token);
        count += 100;
    }
    std::cout << "verifications_per_second " << count / secondsSince(started) << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "seal" && argc == 6) return seal(argv[2], argv[3], argv[4], argv[5]);
        if (mode == "manifest" && argc == 4) return manifest(argv[2], argv[3]);
    } catch (const std::exception& error) {
        std::cerr << "verification_benchmark: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "usage: verification_benchmark seal <bundle> <identifier> <team> <anchor.pem>\n"
                 "       verification_benchmark manifest <service-private.pem> <service-public.pem>\n";
    return 2;
}
