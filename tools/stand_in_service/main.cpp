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
  GET  /device                                            the page that approves a user code
  GET  /v1/catalog                                        the catalogue (Bearer token)
  GET  /v1/releases/<id>/artwork                          release artwork (Bearer token)
  GET  /v1/hub/latest                                     the latest hub release
  GET  /files/<name>                                      downloads with Range (Bearer, except files/hub/)

Options:
  --data DIR        serve DIR: catalog.json, hub-latest.json, artwork/<release id>.png, files/...
                    ("{{BASE_URL}}" in the JSON files becomes the service's own URL)
  --host ADDRESS    IPv4 address to listen on (default 127.0.0.1)
  --port N          port (default 0: any free port)
  --interval S      seconds between token polls the service asks for (default 5)
  --expires S       lifetime of a pending sign-in in seconds (default 600)
  --auto-approve    approve every sign-in at once
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
            } else {
                throw std::invalid_argument("unknown option " + argument);
            }
        }
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
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::cerr << "halvex-stand-in-service: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
