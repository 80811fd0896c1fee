#include "core/install/transaction_journal.h"

#include <algorithm>
#include <exception>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"
#include "platform/path_exchange.h"
#include "platform/work_names.h"

namespace halvex {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maximumJournalBytes = 4 * 1024 * 1024;
constexpr std::size_t maximumChangedFileBytes = 1024 * 1024;

using Identity = TransactionJournal::Identity;

std::optional<Identity> identityOf(const fs::path& path) {
    const auto identity = platform::identityOf(path);
    if (!identity) return std::nullopt;
    return Identity{identity->device, identity->inode};
}

// Every item a journal entry names lies in one folder, on one file system, so its inode tells it apart from
// the others. The device number is not compared: it can change across a reboot (btrfs subvolumes, device
// mapper, NVMe namespaces) while the items stay where they were.
bool isItem(const std::optional<Identity>& present, const Identity& wanted) {
    return present && present->inode == wanted.inode;
}

bool isInside(const fs::path& path, const fs::path& folder) {
    auto part = path.begin();
    for (const auto& component : folder) {
        if (component.empty()) continue;
        if (part == path.end() || *part != component) return false;
        ++part;
    }
    return part != path.end();
}

bool isHiddenSibling(const fs::path& path, const fs::path& destination) {
    return path.parent_path() == destination.parent_path() && path.filename().string().starts_with(".");
}

bool isSafeAbsolute(const fs::path& path) {
    if (!path.is_absolute() || path.filename().empty()) return false;
    return std::none_of(path.begin(), path.end(),
                        [](const fs::path& part) { return part == ".." || part == "."; });
}

std::string reasonOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

// A failed transaction whose previous state is not back in place yet: the user hears of both failures.
HalvexError incompleteRollback(const std::string& subject, const std::exception_ptr& failure,
                               const std::exception& restoreFailure) {
    return HalvexError::invalidPackage(subject + " failed (" + reasonOf(failure) +
                                       ") and the previous version could not be put back yet (" +
                                       restoreFailure.what() + "). It is kept and put back automatically.");
}

HalvexError unusableJournal(const fs::path& file) {
    return HalvexError::invalidPackage("HALVEX HUB could not finish an interrupted update: its record " +
                                       file.string() +
                                       " cannot be used. Your plugins and the HUB were left as they are.");
}

std::optional<std::string> readIfPresent(const fs::path& path) {
    if (!identityOf(path)) return std::nullopt;
    return platform::readFile(path, maximumChangedFileBytes);
}

// Makes `path` hold `content` (or removes it), writing only when it differs.
void settleFile(const fs::path& path, const std::optional<std::string>& content) {
    const auto current = readIfPresent(path);
    if (current == content) return;
    if (content) {
        platform::writeFileAtomically(path, *content, 0600);
    } else {
        platform::removeTree(path);
        platform::fsyncDirectory(path.parent_path());
    }
}

// Moves an item that must leave its path out of sight first, so a kill during the removal leaves only a
// hidden name behind.
void discardItem(const fs::path& path) {
    if (!identityOf(path)) return;
    const auto hidden = platform::work::hiddenName(path.parent_path(), platform::work::discard);
    platform::renamePath(path, hidden);
    platform::fsyncDirectory(path.parent_path());
    platform::removeTree(hidden);
}

template <typename Step>
void attempt(std::exception_ptr& failure, Step&& step) {
    try {
        step();
    } catch (...) {
        failure = std::current_exception();
    }
}

}  // namespace

struct TransactionJournal::Record {
    struct Entry {
        Item item;
        std::optional<Identity> old;
        std::optional<Identity> fresh;
        bool swapped = false;
    };
    struct File {
        fs::path path;
        std::optional<std::string> content;
        std::optional<std::string> previous;
    };

    fs::path file;  // empty: kept in memory only
    std::string kind;
    std::vector<Entry> entries;
    std::vector<File> files;
    std::vector<fs::path> discards;

    std::vector<fs::path> hiddenNames(const Entry& entry) const {
        std::vector<fs::path> names;
        if (entry.item.next) names.push_back(*entry.item.next);
        names.push_back(entry.item.rollback);
        names.insert(names.end(), entry.item.scratch.begin(), entry.item.scratch.end());
        return names;
    }

    // Where the item `wanted` lies among the entry's hidden names (or an exchange's aside name, which a
    // kill inside a two-rename exchange can leave).
    std::optional<fs::path> find(const Entry& entry, const Identity& wanted) const {
        for (const auto& name : hiddenNames(entry)) {
            if (isItem(identityOf(name), wanted)) return name;
        }
        const auto folder = entry.item.destination.parent_path();
        for (const auto& name : platform::directoryEntries(folder)) {
            if (name.starts_with(platform::work::exchange) && isItem(identityOf(folder / name), wanted)) {
                return folder / name;
            }
        }
        return std::nullopt;
    }

    // Puts the entry's old (or new) item at its destination and removes every hidden name it owns.
    void settle(const Entry& entry, bool forward) const {
        const auto& destination = entry.item.destination;
        const auto wanted = forward ? entry.fresh : entry.old;
        const auto unwanted = forward ? entry.old : entry.fresh;
        const auto present = identityOf(destination);
        if (wanted && !isItem(present, *wanted)) {
            const auto source = find(entry, *wanted);
            if (!source) {
                throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                        "recover " + destination.string());
            }
            if (present) {
                platform::exchangePaths(*source, destination);
            } else {
                platform::renamePath(*source, destination);
            }
        } else if (!wanted && present && unwanted && isItem(present, *unwanted)) {
            const auto names = hiddenNames(entry);
            const auto free = std::find_if(names.begin(), names.end(),
                                           [](const fs::path& name) { return !identityOf(name); });
            if (free == names.end()) {
                throw std::system_error(std::make_error_code(std::errc::file_exists),
                                        "recover " + destination.string());
            }
            platform::renamePath(destination, *free);
        }
        platform::fsyncDirectory(destination.parent_path());
        for (const auto& name : hiddenNames(entry)) platform::removeTree(name);
    }

    void settleFiles(bool forward) const {
        for (const auto& change : files) settleFile(change.path, forward ? change.content : change.previous);
    }

    nlohmann::json encode() const {
        const auto identity = [](const std::optional<Identity>& value) -> nlohmann::json {
            if (!value) return nullptr;
            return {{"device", value->device}, {"inode", value->inode}};
        };
        const auto text = [](const std::optional<std::string>& value) -> nlohmann::json {
            if (!value) return nullptr;
            return *value;
        };
        nlohmann::json items = nlohmann::json::array();
        for (const auto& entry : entries) {
            nlohmann::json scratch = nlohmann::json::array();
            for (const auto& name : entry.item.scratch) scratch.push_back(name.string());
            items.push_back({{"destination", entry.item.destination.string()},
                             {"next", entry.item.next ? nlohmann::json(entry.item.next->string()) : nullptr},
                             {"rollback", entry.item.rollback.string()},
                             {"scratch", scratch},
                             {"old", identity(entry.old)},
                             {"new", identity(entry.fresh)},
                             {"swapped", entry.swapped}});
        }
        nlohmann::json changed = nlohmann::json::array();
        for (const auto& change : files) {
            changed.push_back({{"path", change.path.string()},
                               {"content", text(change.content)},
                               {"previous", text(change.previous)}});
        }
        nlohmann::json removed = nlohmann::json::array();
        for (const auto& path : discards) removed.push_back(path.string());
        return {{"kind", kind}, {"items", items}, {"files", changed}, {"discards", removed}};
    }

    // Paths are absolute and plain (no "." or ".."), hidden names lie beside their destination, and
    // everything lies inside one of the `scope` folders (when one is given). begin() checks what it writes
    // and recovery what it reads, so a journal recovery would refuse is never written.
    bool isWellFormed(const std::vector<fs::path>& scope) const {
        const auto inScope = [&](const fs::path& path) {
            return isSafeAbsolute(path) &&
                   (scope.empty() || std::any_of(scope.begin(), scope.end(), [&](const fs::path& folder) {
                        return isInside(path, folder);
                    }));
        };
        for (const auto& entry : entries) {
            const auto& destination = entry.item.destination;
            if (!inScope(destination)) return false;
            for (const auto& name : hiddenNames(entry)) {
                if (!isSafeAbsolute(name) || !isHiddenSibling(name, destination)) return false;
            }
        }
        return std::all_of(files.begin(), files.end(),
                           [&](const File& file) { return inScope(file.path); }) &&
               std::all_of(discards.begin(), discards.end(), inScope);
    }

    static Record decode(const nlohmann::json& document, const fs::path& file) {
        const auto identity = [](const nlohmann::json& value) -> std::optional<Identity> {
            if (value.is_null()) return std::nullopt;
            return Identity{value.value<std::uint64_t>("device", 0), value.at("inode").get<std::uint64_t>()};
        };
        const auto text = [](const nlohmann::json& value) -> std::optional<std::string> {
            if (value.is_null()) return std::nullopt;
            return value.get<std::string>();
        };
        Record record;
        record.file = file;
        record.kind = document.at("kind").get<std::string>();
        for (const auto& value : document.at("items")) {
            Entry entry;
            entry.item.destination = value.at("destination").get<std::string>();
            if (!value.at("next").is_null()) entry.item.next = fs::path(value.at("next").get<std::string>());
            entry.item.rollback = value.at("rollback").get<std::string>();
            for (const auto& name : value.at("scratch"))
                entry.item.scratch.emplace_back(name.get<std::string>());
            entry.old = identity(value.at("old"));
            entry.fresh = identity(value.at("new"));
            entry.swapped = value.at("swapped").get<bool>();
            record.entries.push_back(std::move(entry));
        }
        for (const auto& value : document.at("files")) {
            record.files.push_back(
                {value.at("path").get<std::string>(), text(value.at("content")), text(value.at("previous"))});
        }
        for (const auto& value : document.at("discards"))
            record.discards.emplace_back(value.get<std::string>());
        return record;
    }

    // Reads and checks the journal at `file`. A failing read is thrown as it is (the journal stays for
    // the next attempt); a journal that does not parse, or names anything outside `scope`, is refused:
    // acting on it could move anything, and removing it would let the sweep take the items it protects.
    static Record read(const fs::path& file, const std::vector<fs::path>& scope) {
        const auto bytes = platform::readFile(file, maximumJournalBytes);
        std::optional<Record> record;
        try {
            record = decode(nlohmann::json::parse(bytes), file);
        } catch (const nlohmann::json::exception&) {
            throw unusableJournal(file);
        }
        if (!record->isWellFormed(scope)) throw unusableJournal(file);
        return std::move(*record);
    }

    bool complete() const {
        return std::all_of(entries.begin(), entries.end(), [](const Entry& entry) { return entry.swapped; });
    }
};

TransactionJournal::Item TransactionJournal::Item::replacing(const fs::path& destination) {
    const auto folder = destination.parent_path();
    const auto uuid = platform::randomUUID();
    return {destination,
            folder / (std::string(platform::work::next) + uuid),
            folder / (std::string(platform::work::rollback) + uuid),
            {}};
}

TransactionJournal::Item TransactionJournal::Item::removing(const fs::path& destination) {
    return {destination,
            std::nullopt,
            platform::work::hiddenName(destination.parent_path(), platform::work::rollback),
            {}};
}

TransactionJournal::TransactionJournal(std::unique_ptr<Record> record) : record_(std::move(record)) {}
TransactionJournal::TransactionJournal(TransactionJournal&&) noexcept = default;
TransactionJournal& TransactionJournal::operator=(TransactionJournal&&) noexcept = default;
TransactionJournal::~TransactionJournal() = default;

namespace {

// The path as recovery will read it back: its folder resolved, so that no "." or ".." and no alias of a
// folder through a link reaches the journal.
fs::path resolved(const fs::path& path) {
    return platform::resolvedPath(path);
}

// A hidden name moves with its destination's resolved folder.
fs::path besideResolved(const fs::path& name, const fs::path& destination,
                        const fs::path& resolvedDestination) {
    if (name.parent_path() != destination.parent_path()) {
        throw std::invalid_argument("journal: " + name.string() + " is not beside " + destination.string());
    }
    return resolvedDestination.parent_path() / name.filename();
}

}  // namespace

TransactionJournal TransactionJournal::begin(const fs::path& applicationSupport, const std::string& kind,
                                             std::vector<Item> items, std::vector<FileChange> files,
                                             std::vector<fs::path> discards) {
    auto record = std::make_unique<Record>();
    record->kind = kind;
    for (auto& item : items) {
        const auto destination = resolved(item.destination);
        Item kept{
            destination, std::nullopt, besideResolved(item.rollback, item.destination, destination), {}};
        if (item.next) kept.next = besideResolved(*item.next, item.destination, destination);
        for (const auto& name : item.scratch)
            kept.scratch.push_back(besideResolved(name, item.destination, destination));
        const auto old = identityOf(destination);
        Record::Entry entry{std::move(kept), old, std::nullopt, false};
        if (entry.item.next) {
            entry.fresh = identityOf(*entry.item.next);
            if (!entry.fresh) {
                throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                        "journal " + entry.item.next->string());
            }
        }
        record->entries.push_back(std::move(entry));
    }
    for (auto& change : files) {
        const auto path = resolved(change.path);
        auto previous = readIfPresent(path);
        record->files.push_back({path, std::move(change.content), std::move(previous)});
    }
    for (const auto& path : discards) record->discards.push_back(resolved(path));
    if (!record->isWellFormed({})) throw std::invalid_argument("journal: a path recovery would refuse");
    if (!applicationSupport.empty()) {
        const auto folder = applicationSupport / "Journal";
        platform::createDirectories(folder, 0700);
        record->file = folder / (platform::randomUUID() + ".json");
    }
    TransactionJournal journal(std::move(record));
    try {
        journal.save();
    } catch (...) {
        // The file may be in place already (a failing folder sync); nothing was swapped, so it must not
        // outlive the caller's clean-up of the hidden copies.
        if (!journal.record_->file.empty()) platform::removeTreeQuietly(journal.record_->file);
        throw;
    }
    return journal;
}

void TransactionJournal::save() const {
    if (record_->file.empty()) return;
    platform::writeFileAtomically(record_->file, record_->encode().dump(1), 0600);
}

void TransactionJournal::remove() const {
    if (record_->file.empty()) return;
    platform::removeTree(record_->file);
    platform::fsyncDirectory(record_->file.parent_path());
}

void TransactionJournal::swapIn(std::size_t index) {
    const auto& item = record_->entries.at(index).item;
    if (!item.next) {
        platform::renamePath(item.destination, item.rollback);
    } else if (identityOf(item.destination)) {
        platform::exchangePaths(*item.next, item.destination);
        platform::renamePath(*item.next, item.rollback);
    } else {
        platform::renamePath(*item.next, item.destination);
    }
    platform::fsyncDirectory(item.destination.parent_path());
}

void TransactionJournal::swapInAll(const std::string& subject,
                                   const std::function<void(std::size_t)>& validate) {
    try {
        for (std::size_t index = 0; index < record_->entries.size(); ++index) {
            swapIn(index);
            if (validate) validate(index);
            markSwapped(index);
        }
    } catch (...) {
        const auto failure = std::current_exception();
        try {
            rollBack();
        } catch (const std::exception& restoreFailure) {
            throw incompleteRollback(subject, failure, restoreFailure);
        }
        std::rethrow_exception(failure);
    }
    commit();
}

void TransactionJournal::markSwapped(std::size_t index) {
    auto& entry = record_->entries.at(index);
    // A mark lets recovery roll forward, so the new copy must be on disk first. Until then a crash only
    // rolls back, and the copy's data can still be in flight.
    if (entry.fresh) platform::syncTree(entry.item.destination);
    entry.swapped = true;
    save();
}

void TransactionJournal::commit() {
    std::exception_ptr failure;
    for (const auto& entry : record_->entries) attempt(failure, [&] { record_->settle(entry, true); });
    attempt(failure, [&] { record_->settleFiles(true); });
    for (const auto& path : record_->discards) attempt(failure, [&] { discardItem(path); });
    if (!failure) attempt(failure, [&] { remove(); });
}

void TransactionJournal::rollBack() {
    std::exception_ptr failure;
    for (auto entry = record_->entries.rbegin(); entry != record_->entries.rend(); ++entry) {
        attempt(failure, [&] { record_->settle(*entry, false); });
    }
    attempt(failure, [&] { record_->settleFiles(false); });
    if (failure) std::rethrow_exception(failure);
    remove();
}

void TransactionJournal::recoverAll(const fs::path& applicationSupport, const std::vector<fs::path>& scope) {
    const auto folder = applicationSupport / "Journal";
    std::vector<fs::path> files;
    for (const auto& name : platform::directoryEntries(folder)) {
        if (!name.starts_with(".") && fs::path(name).extension() == ".json") files.push_back(folder / name);
    }
    std::sort(files.begin(), files.end());
    std::vector<fs::path> resolvedScope;
    for (const auto& path : scope) resolvedScope.push_back(platform::canonicalPath(path));
    std::exception_ptr failure;
    for (const auto& file : files) {
        attempt(failure, [&] {
            TransactionJournal journal(std::make_unique<Record>(Record::read(file, resolvedScope)));
            if (journal.record_->complete()) {
                journal.commit();
                if (identityOf(file)) throw std::runtime_error("could not finish " + file.string());
            } else {
                journal.rollBack();
            }
        });
    }
    // A journal that stays unsettled still owns its hidden names: nothing is swept until it is settled.
    if (failure) std::rethrow_exception(failure);
    platform::work::sweepHidden(folder);
}

}  // namespace halvex
