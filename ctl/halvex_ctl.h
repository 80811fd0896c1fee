#pragma once

// halvexctl: the hub's command-line face for studios and scripts. An adapter over the library service
// (app/library), like the window and the agent: the same core objects, the same product rules, the same
// update lock, checks and transactions, and the window's sentences for every error; it turns the results
// into lines and JSON.
//
// One command per process, run on the calling thread; a stop request (SIGINT, SIGTERM) ends a download
// or a sign-in wait early.

#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>

#include "app/library/library_service.h"
#include "ctl/ctl_command_line.h"
#include "ctl/terminal_text.h"

namespace halvex::ctl {

enum class ExitCode { done = 0, failed = 1, usage = 2, waitingForHost = 3, notSignedIn = 4 };

class HalvexCtl {
  public:
    struct Output {
        std::ostream& out;
        std::ostream& err;
        bool terminal = false;  // progress bars instead of plain lines
    };

    // `environment` places the library elsewhere than the running bundle's (tests, other front ends).
    HalvexCtl(Output output, std::stop_token stop, app::LibraryService::Environment environment = {});
    ~HalvexCtl();

    // Runs the command line (program name excluded) and returns the process exit code.
    int run(const std::vector<std::string>& arguments);
    static int main(int argc, char** argv);

  private:
    ExitCode execute(const CtlCommand& command);
    // Built once per process on first use.
    app::LibraryService& library();
    // The catalogue, after making sure this computer is signed in.
    const Catalog& catalog();
    const Product& resolveProduct(const std::string& argument);

    // The hub's version and whether a newer one is out; the signed-in library's products that are on this
    // computer (installed, held, staged or kept for revert), by their ProductState.
    nlohmann::json hubReport();
    nlohmann::json productsReport();
    ExitCode status(const CtlCommand& command);
    ExitCode list(const CtlCommand& command);
    ExitCode signIn();
    ExitCode signOut();
    ExitCode install(const CtlCommand& command);
    ExitCode updateAll();
    ExitCode revert(const Product& product);
    ExitCode hold(const Product& product);
    ExitCode release(const Product& product);
    ExitCode uninstall(const Product& product);
    // Downloads and installs with progress once the product rules allow it; the installer's result.
    PluginInstaller::InstallResult installWithProgress(const Product& product, const Release& release);

    // The caller's streams, written to directly only by the progress bar (its carriage returns are its
    // own); everything else goes through the escaping streams of output_.
    Output raw_;
    TerminalStream out_;
    TerminalStream err_;
    Output output_;
    std::stop_token stop_;
    app::LibraryService::Environment environment_;
    std::unique_ptr<app::LibraryService> library_;
    std::optional<Catalog> catalog_;
};

}  // namespace halvex::ctl
