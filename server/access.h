// Access rules (`--access FILE`): which identity (identity.h) sees which folder beneath
// the root as its whole world, whether it may change anything there, and which tables
// it may write. One rule a line, four fields separated by blanks:
//
//     # who                 folder      access  tables
//     CN=host-a             hosts/a     rw      events,audit
//     10.0.0.0/8            shared      ro      -
//     *                     .           ro      -
//
// who:    `CN=name` matches a client certificate's commonName exactly; an address or a
//         CIDR block matches clients without a certificate by their address; `*` matches
//         everyone. The first matching line wins; a client no line matches is refused.
// folder: a folder beneath the root (its names are resolved beneath it, as beneath the
//         root without rules: neither ".." nor a symbolic link leads out); "." is the
//         root itself. Missing folders are created when the rules are taken into use.
// access: `rw`, or `ro` (every request that would change a file, a folder or a table
//         is refused with -103, as on a read-only server).
// tables: the tables the identity may open and write, comma-separated; `*` all, `-` none.
//
// Comments start at a '#' that begins a line or follows a blank, as in the config file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/address.h"
#include "server/base/identity.h"
#include "server/base/mutex.h"
#include "server/files/resolver.h"

namespace gavo::server {

struct AccessRule {
    enum class Who { kAnyone, kCertName, kAddress };
    Who who = Who::kAnyone;
    std::string cert_name;  // kCertName: the name after "CN="
    Cidr addresses;         // kAddress
    std::string folder;     // beneath the root, components joined by '/'; "" the root
    bool read_only = false;
    bool all_tables = false;
    std::vector<std::string> tables;  // the writable tables unless all_tables
    int line = 0;                     // in the file, for log lines

    bool matches(const Identity& who) const;
    bool may_write_table(const std::string& name) const;
};

struct AccessRules {
    std::string file;  // where they were read from
    std::vector<AccessRule> rules;

    // The first rule matching `who`; null when none does.
    const AccessRule* match(const Identity& who) const;
};

// Parses the text of an access file named `file`. False with `error` as "FILE:LINE: why"
// at the first bad line, or "FILE: why" when the file holds no rule at all.
bool parse_access_rules(std::string_view text, const std::string& file, AccessRules* out,
                        std::string* error);
// Reads and parses the access file at `path`; as parse_access_rules, or "cannot read the
// access file PATH: why".
bool read_access_file(const std::string& path, AccessRules* out, std::string* error);

// Rules taken into use: each rule with its folder opened beneath the server's root.
// Immutable once built; shared by the sessions that use it.
class AccessState {
public:
    // What a request of one identity may do: its rule and the folder its names resolve
    // beneath; both null when no rule matches.
    struct Grant {
        const AccessRule* rule = nullptr;
        const RootDir* folder = nullptr;
    };

    // Opens (creating when missing) the folder of every rule beneath `root`. Null with
    // `error` when a folder cannot be made or opened.
    static std::shared_ptr<const AccessState> open(const AccessRules& rules, const RootDir& root,
                                                   std::string* error);
    Grant grant(const Identity& who) const;
    const AccessRules& rules() const { return rules_; }
    // The rules' folders and every folder above one up to the root, as open() found them:
    // what renames may not move while these rules are in use (FileService::pin_folders).
    const FolderPins& pins() const { return pins_; }
    // True when every rule's folder is still where open() found it: at its rule's name,
    // below the same folders. Call once pins() are pinned, when renames ran meanwhile (a
    // reload): a folder moved before its pinning fails it, with `error`.
    bool in_place(const RootDir& root, std::string* error) const;

private:
    bool collect_pins(const RootDir& root, FolderPins* out, std::string* error) const;
    std::string where(size_t rule) const;  // "FILE:LINE: folder 'NAME'"

    AccessRules rules_;
    std::vector<std::shared_ptr<RootDir>> folders_;  // by rule; rules of one folder share it
    FolderPins pins_;
};

// The rules in use, replaced whole by a reload. Sessions check generation() before each
// request and take current() again when it moved. Thread-safe.
class AccessControl {
public:
    void set(std::shared_ptr<const AccessState> state);
    std::shared_ptr<const AccessState> current() const;
    // Counts the set() calls: 0 before the first.
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

private:
    mutable Mutex mutex_;
    std::shared_ptr<const AccessState> state_ GAVO_GUARDED_BY(mutex_);
    std::atomic<uint64_t> generation_{0};
};

}  // namespace gavo::server
