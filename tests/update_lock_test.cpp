#include "core/install/update_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "core/foundation/halvex_error.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

std::optional<HalvexError::Case> lockFailure(const std::filesystem::path& folder) {
    try {
        UpdateLock lock(folder);
        return std::nullopt;
    } catch (const HalvexError& error) {
        return error.kind();
    }
}

TEST(UpdateLock, ASecondHolderInThisProcessFailsAtOnceWithoutLeakingItsDescriptor) {
    test::TemporaryDirectory folder;
    const auto support = folder / "Application Support" / "Halvex";
    std::optional<UpdateLock> first(std::in_place, support);
    EXPECT_TRUE(std::filesystem::exists(support / "update.lock"));

    const auto before = openDescriptorCount();
    EXPECT_EQ(lockFailure(support), HalvexError::Case::updateInProgress);
    EXPECT_EQ(openDescriptorCount(), before);

    first.reset();
    EXPECT_EQ(lockFailure(support), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(support / "update.lock")) << "the lock file is never deleted";
}

TEST(UpdateLock, AnotherProcessIsExcludedUntilTheHolderDies) {
    test::TemporaryDirectory folder;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        UpdateLock lock(folder.path());
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(lockFailure(folder.path()), HalvexError::Case::updateInProgress);

    // A forked child of a test holding the lock is refused as well.
    {
        UpdateLock ours(folder / "ours");
        const pid_t child = ::fork();
        if (child == 0) ::_exit(lockFailure(folder / "ours") == HalvexError::Case::updateInProgress ? 0 : 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(lockFailure(folder.path()), std::nullopt) << "a dead holder's lock is free";
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(UpdateLock, AFolderWhereTheFileCannotBeCreatedIsReported) {
    test::TemporaryDirectory folder;
    // A folder named like the lock file makes open() fail even for root.
    std::filesystem::create_directories(folder / "update.lock");
    try {
        UpdateLock lock(folder.path());
        FAIL() << "locked a folder";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::invalidPackage);
        EXPECT_EQ(error.errorDescription(), "The HALVEX update lock could not be opened.");
    }
}

TEST(UpdateLock, AFolderThatCannotBeCreatedThrowsTheFileSystemError) {
    test::TemporaryDirectory folder;
    { std::ofstream(folder / "file") << "x"; }
    try {
        UpdateLock lock(folder / "file" / "Halvex");
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
}

}  // namespace
}  // namespace halvex
