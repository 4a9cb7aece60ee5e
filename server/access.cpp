#include "server/access.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "server/base/config_file.h"
#include "server/files/names.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

// The longest commonName a certificate may carry (X.509's upper bound).
constexpr size_t kMaxCertName = 64;

bool parse_who(const std::string& text, AccessRule* rule, std::string* why) {
    if (text == "*") {
        rule->who = AccessRule::Who::kAnyone;
        return true;
    }
    if (text.rfind("CN=", 0) == 0) {
        rule->who = AccessRule::Who::kCertName;
        rule->cert_name = text.substr(3);
        if (!rule->cert_name.empty() && rule->cert_name.size() <= kMaxCertName) return true;
        *why = "'" + text + "': a certificate name needs 1 to 64 characters after CN=";
        return false;
    }
    rule->who = AccessRule::Who::kAddress;
    if (parse_cidr(text, &rule->addresses)) return true;
    *why = "'" + text + "' is neither CN=NAME, an address, a CIDR block nor *";
    return false;
}

bool parse_folder(const std::string& text, AccessRule* rule, std::string* why) {
    if (text == ".") return true;  // the root itself
    if (text[0] == '/' || text[0] == '\\') {
        *why = "folder '" + text + "' must be relative to the root ('.' for the root)";
        return false;
    }
    const ClientName name = parse_client_name(text.c_str(), text.size() + 1);
    if (name.ok) {
        rule->folder = name.path;
        return true;
    }
    *why = "folder '" + text + "': " + name.reason;
    return false;
}

bool parse_tables(const std::string& text, AccessRule* rule, std::string* why) {
    if (text == "-") return true;
    if (text == "*") {
        rule->all_tables = true;
        return true;
    }
    std::stringstream list(text);
    for (std::string name; std::getline(list, name, ',');) {
        if (!valid_table_name(name)) {
            *why = "'" + name + "' is no table name (tables: NAME,NAME..., * or -)";
            return false;
        }
        rule->tables.push_back(name);
    }
    if (text.back() != ',') return true;
    *why = "empty table name in '" + text + "'";
    return false;
}

bool parse_rule(std::string_view line, AccessRule* rule, std::string* why) {
    std::stringstream in{std::string(line)};
    std::string who, folder, access, tables, extra;
    if (!(in >> who >> folder >> access >> tables) || (in >> extra)) {
        *why = "expected four fields: WHO FOLDER ro|rw TABLES";
        return false;
    }
    if (access != "ro" && access != "rw") {
        *why = "access '" + access + "' is neither ro nor rw";
        return false;
    }
    rule->read_only = access == "ro";
    return parse_who(who, rule, why) && parse_folder(folder, rule, why) &&
           parse_tables(tables, rule, why);
}

}  // namespace

bool AccessRule::matches(const Identity& client) const {
    switch (who) {
    case Who::kAnyone: return true;
    case Who::kCertName: return client.cert_name == cert_name;
    case Who::kAddress: return client.cert_name.empty() && addresses.contains(client.addr);
    }
    return false;
}

bool AccessRule::may_write_table(const std::string& name) const {
    if (read_only) return false;
    return all_tables || std::find(tables.begin(), tables.end(), name) != tables.end();
}

const AccessRule* AccessRules::match(const Identity& who) const {
    for (const AccessRule& rule : rules) {
        if (rule.matches(who)) return &rule;
    }
    return nullptr;
}

bool parse_access_rules(std::string_view text, const std::string& file, AccessRules* out,
                        std::string* error) {
    out->file = file;
    out->rules.clear();
    const bool parsed = for_each_config_line(text, [&](int number, std::string_view line) {
        AccessRule rule;
        rule.line = number;
        std::string why;
        if (!parse_rule(line, &rule, &why)) {
            *error = file + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        out->rules.push_back(std::move(rule));
        return true;
    });
    if (!parsed) return false;
    if (!out->rules.empty()) return true;
    *error = file + ": no rules: every client would be refused";
    return false;
}

bool read_access_file(const std::string& path, AccessRules* out, std::string* error) {
    std::string text, why;
    if (!read_small_file(path, &text, &why)) {
        *error = "cannot read the access file " + path + ": " + why;
        return false;
    }
    return parse_access_rules(text, path, out, error);
}

std::shared_ptr<const AccessState> AccessState::open(const AccessRules& rules, const RootDir& root,
                                                     std::string* error) {
    auto state = std::make_shared<AccessState>();
    state->rules_ = rules;
    std::map<std::string, std::shared_ptr<RootDir>> opened;
    for (const AccessRule& rule : state->rules_.rules) {
        std::shared_ptr<RootDir>& folder = opened[rule.folder];
        if (!folder) {
            folder = std::make_shared<RootDir>();
            if (!folder->open_beneath(root, rule.folder, error)) {
                *error = rules.file + ":" + std::to_string(rule.line) + ": " + *error;
                return nullptr;
            }
        }
        state->folders_.push_back(folder);
    }
    if (!state->collect_pins(root, &state->pins_, error)) return nullptr;
    return state;
}

std::string AccessState::where(size_t rule) const {
    const AccessRule& r = rules_.rules[rule];
    return rules_.file + ":" + std::to_string(r.line) + ": folder '" +
           (r.folder.empty() ? "." : r.folder) + "'";
}

bool AccessState::collect_pins(const RootDir& root, FolderPins* out, std::string* error) const {
    for (size_t i = 0; i < folders_.size(); ++i) {
        if (folders_[i]->add_folders_up_to(root, out)) continue;
        *error = where(i) + " is no longer beneath the root";
        return false;
    }
    return true;
}

bool AccessState::in_place(const RootDir& root, std::string* error) const {
    FolderPins now;
    if (!collect_pins(root, &now, error)) return false;
    for (size_t i = 0; i < folders_.size(); ++i) {
        if (now == pins_ && folders_[i]->is_at(root, rules_.rules[i].folder)) continue;
        *error = where(i) + " was moved while the rules were read";
        return false;
    }
    return true;
}

AccessState::Grant AccessState::grant(const Identity& who) const {
    for (size_t i = 0; i < rules_.rules.size(); ++i) {
        if (rules_.rules[i].matches(who)) return {&rules_.rules[i], folders_[i].get()};
    }
    return {};
}

void AccessControl::set(std::shared_ptr<const AccessState> state) {
    MutexLock lock(mutex_);
    state_ = std::move(state);
    generation_.fetch_add(1, std::memory_order_acq_rel);
}

std::shared_ptr<const AccessState> AccessControl::current() const {
    MutexLock lock(mutex_);
    return state_;
}

}  // namespace gavo::server
