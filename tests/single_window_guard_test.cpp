#include "app/single_window_guard.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <mutex>

#include "tests/support/temporary_directory.h"

namespace halvex::app {
namespace {

using Other = SingleWindowGuard::Claim::Other;

struct Raises {
    std::mutex mutex;
    std::vector<std::string> tokens;
    SingleWindowGuard::RaiseHandler handler() {
        return [this](const std::string& token) {
            std::lock_guard lock(mutex);
            tokens.push_back(token);
        };
    }
};

constexpr SingleWindowGuard::Timing quick{std::chrono::milliseconds(300), std::chrono::milliseconds(1000)};

TEST(SingleWindowGuard, ALaterStartRaisesTheOpenWindowAndTheNextOneAfterItClosedBecomesTheWindow) {
    test::TemporaryDirectory folder;
    const auto runtime = folder / "run/com.halvex.hub";
    Raises raises;
    auto first = SingleWindowGuard::claim(runtime, raises.handler());
    ASSERT_TRUE(first.guard);
    EXPECT_EQ(first.other, Other::none);
    struct stat status {};
    ASSERT_EQ(::stat(runtime.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    // The token travels when it is one printable word, and is dropped otherwise.
    for (const std::string token : {"", "startup-id_42", "two words", "line\nbreak"}) {
        const auto later = SingleWindowGuard::claim(
            runtime, [](const std::string&) { FAIL(); }, token, quick);
        EXPECT_FALSE(later.guard);
        EXPECT_EQ(later.other, Other::raised);
    }
    EXPECT_EQ(raises.tokens, (std::vector<std::string>{"", "startup-id_42", "", ""}));

    first.guard.reset();
    EXPECT_FALSE(std::filesystem::exists(runtime / "window.socket"));
    const auto next = SingleWindowGuard::claim(runtime, raises.handler(), {}, quick);
    EXPECT_TRUE(next.guard);
}

TEST(SingleWindowGuard, TheSocketOfACrashedWindowIsTakenOver) {
    test::TemporaryDirectory folder;
    const auto runtime = folder / "com.halvex.hub";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    // What a killed window leaves: its socket file, bound by nobody, and an unlocked lock file.
    {
        const int left = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const auto path = (runtime / "window.socket").string();
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::bind(left, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(left);
    }
    Raises raises;
    auto window = SingleWindowGuard::claim(runtime, raises.handler(), {}, quick);
    ASSERT_TRUE(window.guard);
    EXPECT_EQ(SingleWindowGuard::claim(runtime, raises.handler(), "t", quick).other, Other::raised);
    EXPECT_EQ(raises.tokens, std::vector<std::string>{"t"});
}

TEST(SingleWindowGuard, AWindowThatHoldsTheLockButNeverAnswersIsReportedNotDuplicated) {
    test::TemporaryDirectory folder;
    const auto runtime = folder / "com.halvex.hub";
    std::filesystem::create_directories(runtime);
    const platform::UniqueFd held(::open((runtime / "window.lock").c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);

    const auto claim = SingleWindowGuard::claim(
        runtime, [](const std::string&) {}, {}, quick);
    EXPECT_FALSE(claim.guard);
    EXPECT_EQ(claim.other, Other::unresponsive);
}

TEST(SingleWindowGuard, RefusesAFolderThatIsNotPrivateToTheUser) {
    test::TemporaryDirectory folder;
    std::filesystem::create_directories(folder / "elsewhere");
    std::filesystem::create_directory_symlink(folder / "elsewhere", folder / "com.halvex.hub");
    EXPECT_THROW(SingleWindowGuard::claim(folder / "com.halvex.hub", [](const std::string&) {}),
                 std::system_error);
}

}  // namespace
}  // namespace halvex::app
