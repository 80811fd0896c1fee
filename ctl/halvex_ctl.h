#pragma once

// halvexctl: the hub's command-line face for studios and scripts. It builds the same configuration,
// client, verifier and installer as the other process modes and runs one command with them: the same
// update lock, the same checks and transactions, and the window's sentences for every error.
//
// One command per process, run on the calling thread; a stop request (SIGINT, SIGTERM) ends a download
// or a sign-in wait early.

#include <iosfwd>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "core/foundation/halvex_configuration.h"
#include "core/install/plugin_installer.h"
#include "core/service/api_client.h"
#include "core/trust/signed_metadata_verifier.h"
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

    HalvexCtl(Output output, std::stop_token stop);
    ~HalvexCtl();

    // Runs the command line (program name excluded) and returns the process exit code.
    int run(const std::vector<std::string>& arguments);
    static int main(int argc, char** argv);

  private:
    // What every command works with, built once per process on first use.
    struct Session {
        HalvexConfiguration configuration;
        APIClient client;
        SignedMetadataVerifier verifier;
        PluginInstaller installer;
        std::string hubVersion;
        std::optional<Catalog> catalog;

        explicit Session(HalvexConfiguration resolved);
    };

    ExitCode execute(const CtlCommand& command);
    Session& session();
    // The catalogue, after making sure this computer is signed in.
    const Catalog& catalog();
    const Product& resolveProduct(const std::string& argument);
    std::optional<Release> availableUpdate(const Product& product);

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
    // Downloads and installs with progress; the installer's result.
    PluginInstaller::InstallResult installWithProgress(const Release& release);

    // The caller's streams, written to directly only by the progress bar (its carriage returns are its
    // own); everything else goes through the escaping streams of output_.
    Output raw_;
    TerminalStream out_;
    TerminalStream err_;
    Output output_;
    std::stop_token stop_;
    std::unique_ptr<Session> session_;
};

}  // namespace halvex::ctl
