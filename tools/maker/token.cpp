#include "platform/base64.h"
#include "platform/p256.h"
#include "tools/maker/maker.h"

namespace halvex::maker {

std::string signToken(const std::string& payload, const std::string& privateKeyPEM,
                      const std::string& header) {
    const std::string signingInput =
        platform::base64URLEncode(header) + "." + platform::base64URLEncode(payload);
    const auto key = platform::P256PrivateKey::fromPEM(privateKeyPEM);
    return signingInput + "." + platform::base64URLEncode(key.sign(signingInput));
}

}  // namespace halvex::maker
