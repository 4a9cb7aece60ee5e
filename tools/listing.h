// The server's listing extension as the tool uses it: list a folder page by page, stat a
// name, remove an empty folder. The requests go over the library's own archive channel
// (working mode 2), under its channel lock, so they never mix with the library's. A
// server without the extension closes the connection at their opcode; the tool then
// says the server does not support listing, and the library reconnects at its next call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "proto/listing.h"

namespace gavo_tool {

struct RemoteEntry {
    std::string name;  // as the server holds it: any byte but '/' and the zero
    gavo::wire::EntryInfo info;
};

// Results besides 0 and the library's codes.
constexpr int kNoListing = 1;    // the server closed the connection at the request
constexpr int kNotServer = 2;    // working mode 1: there is no server to ask
constexpr int kBadListing = 3;   // the reply broke its own rules; the stream is lost
constexpr int kNameTooLong = 4;  // more than 499 bytes: never sent

// Calls `each` for every entry of `folder` in name order, one page (at most
// gavo::wire::kListMaxEntries entries) in memory at a time; stops early when `each`
// returns false. 0 or a result above.
int list_folder(const std::string& folder, const std::function<bool(const RemoteEntry&)>& each);
int stat_name(const std::string& name, gavo::wire::EntryInfo* info);
int remove_folder(const std::string& name);

// What a failed result above means, in words.
std::string listing_failure(int rc);

// `name` with control characters and backslashes escaped (\ooo, \\), for terminals and
// line-based output.
std::string shown_name(const std::string& name);

}  // namespace gavo_tool
