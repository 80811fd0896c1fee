#pragma once

// Runs work with a fault at one numbered file operation (see platform/fault_injection.h): a SIGKILL in a
// forked child, or an errno thrown in this process. Tests step the number 1, 2, 3, … until the work runs
// to its end without meeting the fault.

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvex::test {

enum class KilledRun { killed, completed, failed };

// Forks; the child runs `work` and is killed at its file operation number `point`.
KilledRun runKilledAt(int point, const std::function<void()>& work);

// Runs `recovery` in a child killed at its file operation 1, then again killed at operation 2, 3, … until
// a run completes: every run starts from what the killed ones left. Returns the number of kills, or
// nothing when a run failed instead.
std::optional<int> recoverThroughKills(const std::function<void()>& recovery);

// Makes file operation number `point` of this process throw std::system_error(`error`) until the object
// goes; `reached()` tells whether the work got that far.
class FailingOperation {
  public:
    FailingOperation(int point, int error);
    ~FailingOperation();
    FailingOperation(const FailingOperation&) = delete;
    FailingOperation& operator=(const FailingOperation&) = delete;
    bool reached() const;
};

// Every item below `root` as relative path -> content digest, link target or "folder".
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root);
// The same for several folders, keyed by absolute path.
std::map<std::string, std::string> treeSnapshot(const std::vector<std::filesystem::path>& roots);

// Paths of hidden items anywhere below `root`.
std::vector<std::string> hiddenItems(const std::filesystem::path& root);

}  // namespace halvex::test
