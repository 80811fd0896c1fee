// halvex-stand-in-service: serves a data folder as the HALVEX service on loopback until interrupted.

#include <signal.h>

#include <cstring>
#include <iostream>
#include <string>

#include "tools/stand_in_service/stand_in_service.h"

namespace {

constexpr const char* usage = R"(Usage: halvex-stand-in-service [options]

Serves the HALVEX service API on loopback for tests and demos:
  POST /v1/device/authorizations, POST /v1/device/token   browser sign-in with device proof
  GET  /device?user_code=CODE                             the sign-in page: shows the code, Approve or Deny
  GET  /v1/catalog                                        the catalogue (Bearer token)
  GET  /v1/releases/<id>/artwork                          release artwork (Bearer token)
  GET  /v1/hub/latest                                     the latest hub release
  GET  /store/<item>                                      a placeholder store page
  GET  /files/<name>                                      downloads with Range (Bearer, except files/hub/
                                                          and files/media/)

Options:
  --data DIR        serve DIR: catalog.json, hub-latest.json, artwork/<release id>.png, files/...
                    ("{{BASE_URL}}" in the JSON files becomes the service's own URL, "{{BROWSER_URL}}"
                    the address of the browser pages); read again
                    whenever catalog.json or hub-latest.json changes
  --host ADDRESS    IPv4 address to listen on (default 127.0.0.1)
  --port N          port (default 0: any free port)
  --interval S      seconds between token polls the service asks for (default 5)
  --expires S       lifetime of a pending sign-in in seconds (default 600)
  --auto-approve    approve every sign-in at once
  --download-rate N pace downloads that need a credential to N bytes per second (default: unpaced)
  --tls-certificate FILE, --tls-key FILE
                    serve https with this PEM certificate chain (leaf first) and key
  --browser-http    with https: also serve the sign-in and store pages on a plain-http loopback
                    port, and send browsers there (they do not trust the demo authority)
  --help            this text

Prints "Listening on <base URL>" once ready, then serves until SIGINT or SIGTERM.
)";

}  // namespace

int main(int argc, char** argv) {
    halvex::tools::StandInService::Options options;
    try {
        for (int index = 1; index < argc; ++index) {
            const std::string argument = argv[index];
            const auto value = [&]() -> std::string {
                if (index + 1 >= argc) throw std::invalid_argument(argument + " needs a value");
                return argv[++index];
            };
            if (argument == "--help") {
                std::cout << usage;
                return 0;
            } else if (argument == "--data") {
                options.dataFolder = value();
            } else if (argument == "--host") {
                options.host = value();
            } else if (argument == "--port") {
                options.port = static_cast<std::uint16_t>(std::stoul(value()));
            } else if (argument == "--interval") {
                options.pollIntervalSeconds = std::stoll(value());
            } else if (argument == "--expires") {
                options.authorizationLifetimeSeconds = std::stoll(value());
            } else if (argument == "--auto-approve") {
                options.autoApprove = true;
            } else if (argument == "--download-rate") {
                options.downloadBytesPerSecond = std::stoull(value());
            } else if (argument == "--browser-http") {
                options.plainBrowserPages = true;
            } else if (argument == "--tls-certificate") {
                if (!options.tls) options.tls.emplace();
                options.tls->certificateChain = value();
            } else if (argument == "--tls-key") {
                if (!options.tls) options.tls.emplace();
                options.tls->privateKey = value();
            } else {
                throw std::invalid_argument("unknown option " + argument);
            }
        }
        if (options.tls && (options.tls->certificateChain.empty() || options.tls->privateKey.empty()))
            throw std::invalid_argument("--tls-certificate and --tls-key go together");
    } catch (const std::exception& error) {
        std::cerr << "halvex-stand-in-service: " << error.what() << "\n" << usage;
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        halvex::tools::StandInService service(options);
        std::cout << "Listening on " << service.baseURL() << std::endl;
        if (service.browserBaseURL() != service.baseURL())
            std::cout << "Browser pages on " << service.browserBaseURL() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::cerr << "halvex-stand-in-service: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
