#pragma once

// Takes a set of bundles (or files) out of their folders as one transaction: each is renamed to a hidden
// name in its own folder, so hosts and listings no longer see it; a failure puts back those already
// moved. commit() deletes the hidden items; an object destroyed without commit() puts everything back.
// The caller holds the update lock.

#include <filesystem>
#include <utility>
#include <vector>

namespace halvex {

class BundleRemoval {
  public:
    // Moves every item aside, in order. Throws the rename error after restoring the ones already moved.
    explicit BundleRemoval(const std::vector<std::filesystem::path>& items);
    ~BundleRemoval();
    BundleRemoval(const BundleRemoval&) = delete;
    BundleRemoval& operator=(const BundleRemoval&) = delete;

    // Deletes the hidden items; failures to delete are ignored (the outcome is decided).
    void commit();

  private:
    void restore() noexcept;

    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> moved_;  // original, hidden
    bool committed_ = false;
};

}  // namespace halvex
