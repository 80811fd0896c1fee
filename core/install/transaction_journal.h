#pragma once

// A durable record of one transaction that swaps items into folders other programs read (plugin folders,
// the hub bundle, pending updates), so that a transaction cut short by a crash, a kill or a power loss is
// finished or undone by the next process that takes the update lock.
//
// One readable JSON file per transaction in <applicationSupport>/Journal, written atomically before the
// first swap and again after each swap the caller has validated; removed once the outcome is on disk.
//
// Use:
//   auto journal = TransactionJournal::begin(support, "plugin-install", items, files, discards);
//   journal.swapInAll("The installation", validate);  // swap, validate, mark each; commit or roll back
// The hidden `next` copies must exist (complete, not necessarily synced) when begin() runs; the first
// markSwapped() of an item on each file system syncs that file system, so every copy is durable before
// a mark lets recovery roll forward.
//
// Recovery rule (recoverAll): a transaction whose every item is marked swapped is rolled forward (the
// marks are only written after validation, so every new item is in place and checked): file changes are
// written, replaced items and discards removed. Any other transaction is rolled back: every destination
// gets its old item back (or loses the new one when nothing was there), file changes are undone. Items are
// looked for only under the hidden names the journal owns (and an exchange's aside name), and told apart
// by the inode begin() recorded, so a kill between the two steps of a swap cannot mislead recovery; the
// device number is not relied on, since it may change across a reboot. Each recovery step leaves a state
// recovery can start from again, and the journal is removed only after its outcome is complete, so
// recovery may itself be killed and re-run.
//
// What begin() writes always reads back: every path is stored with its folder resolved (no "." or "..",
// no link aliases). Recovery refuses, and keeps, a journal it cannot parse or that names a path outside
// the folders it was given; a journal it cannot read stays too. Either way recovery stops with the error,
// and nothing is swept while a journal is unsettled.
//
// Threads: the caller holds the update lock for the whole transaction and for recovery; one thread uses a
// journal object.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvex {

class TransactionJournal {
  public:
    struct Item {
        std::filesystem::path destination;
        // The hidden copy of the new item in the destination's folder; absent when the transaction only
        // removes the destination.
        std::optional<std::filesystem::path> next;
        // The hidden name in the destination's folder where the replaced item waits for the outcome.
        std::filesystem::path rollback;
        // More hidden names in that folder the transaction owns; removed on either outcome.
        std::vector<std::filesystem::path> scratch;

        // Replaces `destination`: the new copy is to be put at `next` (".hvx-next-…") beside it, and the
        // replaced item waits at `rollback` (".hvx-rollback-…").
        static Item replacing(const std::filesystem::path& destination);
        // Removes `destination`; it waits at `rollback` for the outcome.
        static Item removing(const std::filesystem::path& destination);
    };
    // A small file (a receipt) the transaction changes: written when rolled forward (removed when `content`
    // is absent), put back as begin() found it when rolled back.
    struct FileChange {
        std::filesystem::path path;
        std::optional<std::string> content;
    };

    // Records the transaction durably. An empty `applicationSupport` keeps the record in memory only (the
    // same swaps and restores, but nothing to recover after a crash).
    static TransactionJournal begin(const std::filesystem::path& applicationSupport, const std::string& kind,
                                    std::vector<Item> items, std::vector<FileChange> files = {},
                                    std::vector<std::filesystem::path> discards = {});

    TransactionJournal(TransactionJournal&&) noexcept;
    TransactionJournal& operator=(TransactionJournal&&) noexcept;
    ~TransactionJournal();

    // The one way a transaction runs: every item is swapped in, first to last, each followed by
    // `validate(index)` (when given) and its mark; then the transaction commits. On any failure every item
    // is rolled back and that failure thrown. When rolling back fails too, both are thrown as one
    // HalvexError::invalidPackage ("<subject> failed (<failure>) and the previous version could not be put
    // back yet (<restore failure>). It is kept and put back automatically."); the journal then stays, and
    // recovery finishes the restore.
    void swapInAll(const std::string& subject, const std::function<void(std::size_t index)>& validate = {});

    // The steps of swapInAll, for tests that stop between them.
    // Puts item `index`'s new item at its destination (the old one moves to `rollback`), or, for a removal,
    // moves the destination to `rollback`.
    void swapIn(std::size_t index);
    void markSwapped(std::size_t index);
    // Rolls forward: removes the replaced items, scratch names and discards, then the journal. Removal
    // failures are ignored; the journal then stays so that recovery finishes the removal.
    void commit();
    // Rolls back every item, last first, and undoes the file changes. A failing step does not stop the
    // others; the last failure is thrown and the journal stays for recovery.
    void rollBack();

    // Finishes or undoes every journalled transaction below `applicationSupport` by the rule above; a
    // journal may name paths inside the `scope` folders only. Throws the last failure after trying every
    // journal (a journal that cannot be used is HalvexError::invalidPackage naming it; a failing read is
    // the system's error); a failed journal stays for the next attempt.
    static void recoverAll(const std::filesystem::path& applicationSupport,
                           const std::vector<std::filesystem::path>& scope);

    // The device is written for readers that still compare it; recovery compares the inode only.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    struct Record;

  private:
    explicit TransactionJournal(std::unique_ptr<Record> record);
    void save() const;
    void remove() const;

    std::unique_ptr<Record> record_;
};

}  // namespace halvex
