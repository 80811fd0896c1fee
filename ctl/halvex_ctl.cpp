#include "ctl/halvex_ctl.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <thread>

#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "core/service/network_error.h"
#include "ctl/ctl_failure.h"
#include "platform/browser.h"
#include "platform/process_environment.h"
#include "platform/system_info.h"

namespace halvex::ctl {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return text;
}

ExitCode exitCodeFor(const HalvexError& error) {
    if (error.is(HalvexError::Case::dawIsRunning)) return ExitCode::waitingForHost;
    // The client has already forgotten a credential the service rejected.
    if (error.is(HalvexError::Case::server) && error.status() == 401) return ExitCode::notSignedIn;
    return ExitCode::failed;
}

void openInBrowser(const Url& address) {
    const auto environment = platform::currentEnvironment();
    const auto has = [&](const char* name) {
        const auto found = environment.find(name);
        return found != environment.end() && !found->second.empty();
    };
    if (!has("DISPLAY") && !has("WAYLAND_DISPLAY")) return;
    try {
        platform::openInDefaultBrowser(address.string());
    } catch (const std::system_error&) {
        // Without a browser opener the printed address is the way in.
    }
}

}  // namespace

HalvexCtl::HalvexCtl(Output output, std::stop_token stop, app::LibraryService::Environment environment)
    : raw_(output),
      out_(output.out),
      err_(output.err),
      output_{out_, err_, output.terminal},
      stop_(std::move(stop)),
      environment_(std::move(environment)) {}

HalvexCtl::~HalvexCtl() = default;

int HalvexCtl::run(const std::vector<std::string>& arguments) {
    const auto parsed = parseCommandLine(arguments);
    if (const auto* help = std::get_if<HelpRequest>(&parsed)) {
        output_.out << help->text << std::flush;
        return static_cast<int>(ExitCode::done);
    }
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        output_.err << usage->message << "\n"
                    << (usage->command ? usageLine(*usage->command) + "\n"
                                       : std::string("Usage: halvexctl COMMAND [OPTIONS]\n"))
                    << "Run `halvexctl --help` for the commands.\n"
                    << std::flush;
        return static_cast<int>(ExitCode::usage);
    }
    ExitCode code = ExitCode::failed;
    try {
        code = execute(std::get<CtlCommand>(parsed));
    } catch (const CtlFailure& failure) {
        output_.err << failure.what() << "\n";
        code = failure.code();
    } catch (const HalvexError& error) {
        output_.err << error.errorDescription() << "\n";
        code = exitCodeFor(error);
    } catch (const OperationCancelled&) {
        output_.err << "Cancelled.\n";
        code = ExitCode::failed;
    } catch (const std::exception& error) {
        output_.err << error.what() << "\n";
        code = ExitCode::failed;
    }
    output_.out << std::flush;
    output_.err << std::flush;
    return static_cast<int>(code);
}

app::LibraryService& HalvexCtl::library() {
    if (!library_) library_ = std::make_unique<app::LibraryService>(environment_);
    return *library_;
}

const Catalog& HalvexCtl::catalog() {
    if (!catalog_) {
        if (!library().client().hasCredential())
            throw CtlFailure(ExitCode::notSignedIn, "Sign in to HALVEX HUB first.");
        catalog_ = library().client().catalog(stop_);
    }
    return *catalog_;
}

const Product& HalvexCtl::resolveProduct(const std::string& argument) {
    const auto& products = catalog().products;
    for (const auto& product : products) {
        if (product.productID == argument) return product;
    }
    std::vector<const Product*> matches;
    for (const auto& product : products) {
        if (lowered(product.name) == lowered(argument) || lowered(product.slug) == lowered(argument))
            matches.push_back(&product);
    }
    if (matches.size() == 1) return *matches.front();
    if (matches.empty())
        throw CtlFailure(ExitCode::usage, "No product “" + argument + "” is in your library.");
    std::string names;
    for (const auto* match : matches)
        names += (names.empty() ? "" : ", ") + match->name + " (" + match->productID + ")";
    throw CtlFailure(ExitCode::usage,
                     "“" + argument + "” names several products: " + names + ". Use a product identifier.");
}

ExitCode HalvexCtl::execute(const CtlCommand& command) {
    switch (command.kind) {
        case CommandKind::status:
            return status(command);
        case CommandKind::list:
            return list(command);
        case CommandKind::signIn:
            return signIn();
        case CommandKind::signOut:
            return signOut();
        case CommandKind::install:
            return install(command);
        case CommandKind::update:
            return updateAll();
        case CommandKind::revert:
            return revert(resolveProduct(*command.product));
        case CommandKind::hold:
            return hold(resolveProduct(*command.product));
        case CommandKind::release:
            return release(resolveProduct(*command.product));
        case CommandKind::uninstall:
            return uninstall(resolveProduct(*command.product));
    }
    return ExitCode::failed;
}

ExitCode HalvexCtl::signIn() {
    const auto& client = library().client();
    if (client.hasCredential()) {
        output_.out << "This computer is already signed in.\n";
        return ExitCode::done;
    }
    const auto authorization = client.beginAuthorization(platform::prettyHostName(), stop_);
    output_.out << "To sign in, open " << authorization.verificationURI.string() << " and enter the code "
                << authorization.userCode << "\n"
                << "(or open " << authorization.verificationURIComplete.string() << ")\n"
                << "Waiting for the sign-in to be approved…\n"
                << std::flush;
    openInBrowser(authorization.verificationURIComplete);
    client.waitForAuthorization(authorization, stop_);
    output_.out << "Signed in.\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::signOut() {
    library().client().signOut();
    output_.out << "Signed out.\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::hold(const Product& product) {
    const auto version = library().hold(product);
    output_.out << "Held " << product.name << " at " << version << ".\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::release(const Product& product) {
    if (!library().releaseHold(product)) {
        output_.out << product.name << " is not held.\n";
        return ExitCode::done;
    }
    output_.out << "Released " << product.name << ". Automatic updates resume.\n";
    return ExitCode::done;
}

int HalvexCtl::main(int argc, char** argv) {
    // Interrupts become a stop request, so a download keeps its partial file and every lock and work
    // folder is released on the way out; a second interrupt ends the process at once.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
    std::stop_source stop;
    std::jthread watcher([&](std::stop_token done) {
        const timespec poll{0, 200'000'000};
        while (!done.stop_requested()) {
            if (sigtimedwait(&interrupts, nullptr, &poll) < 0) continue;
            if (stop.stop_requested()) ::_exit(130);
            stop.request_stop();
        }
    });
    HalvexCtl ctl({std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1}, stop.get_token());
    return ctl.run(std::vector<std::string>(argv + 1, argv + argc));
}

}  // namespace halvex::ctl
