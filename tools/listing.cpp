#include "listing.h"

#include <cstdio>

#include "nfile/channel_request.h"
#include "proto/codec.h"
#include "proto/codes.h"
#include "proto/names.h"
#include "runtime/state.h"

namespace gavo_tool {

namespace {

using gavo::ChannelRequest;
namespace wire = gavo::wire;

bool take(ChannelRequest& req, unsigned char* out, int n) { return req.get_bytes(out, n) == n; }

// 0 when `name` may be sent: working mode 2, and a name the server can take (its field is
// 16 bits long); else the result that says why not.
int check_request(const std::string& name) {
    if (gavo::lib::fsmode.load() != 2) return kNotServer;
    return gavo::name_fits(name.c_str()) ? 0 : kNameTooLong;
}

// A failed first reply integer: a server that does not know the request closes the
// connection at its opcode, with the rest of the request unread (the peer then sees a
// reset rather than an orderly end).
int reply_failure(int rc) {
    return rc == gavo::kCodePeerClosed || rc == gavo::kCodeRecvFailed ? kNoListing : rc;
}

// One page after `after`; 0 with the entries in `page` and `more` set, or a result.
int list_page(const std::string& folder, const std::string& after, std::vector<RemoteEntry>* page,
              bool* more) {
    if (int rc = check_request(folder)) return rc;
    page->clear();
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(wire::kOpList, {folder.c_str(), after.c_str()})) return gavo::kCodeNotSent;
    const int n = req.get_reply();
    if (n < 0) return reply_failure(n);
    unsigned char bytes[wire::kEntryInfoBytes + 2];
    if (static_cast<size_t>(n) > wire::kListMaxEntries || !take(req, bytes, 2)) return kBadListing;
    *more = gavo::codec::get16(bytes) == 1;
    char name[wire::kEntryNameMax + 1];
    for (int i = 0; i < n; ++i) {
        if (!take(req, bytes, sizeof bytes)) return kBadListing;
        const int length = gavo::codec::get16(bytes + wire::kEntryInfoBytes);
        if (length < 2 || static_cast<size_t>(length) > sizeof name ||
            !take(req, reinterpret_cast<unsigned char*>(name), length) || name[length - 1] != 0)
            return kBadListing;
        // A name is one component: anything else would lead a copy out of its folder.
        const std::string entry(name, static_cast<size_t>(length - 1));
        if (entry == "." || entry == ".." || entry.find('/') != std::string::npos)
            return kBadListing;
        page->push_back({entry, wire::decode_entry_info(bytes)});
    }
    return 0;
}

}  // namespace

int list_folder(const std::string& folder, const std::function<bool(const RemoteEntry&)>& each) {
    std::vector<RemoteEntry> page;
    std::string after;
    for (bool more = true; more;) {
        if (int rc = list_page(folder, after, &page, &more); rc != 0) return rc;
        for (const RemoteEntry& e : page)
            if (!each(e)) return 0;
        if (page.empty()) break;
        after = page.back().name;
    }
    return 0;
}

int stat_name(const std::string& name, wire::EntryInfo* info) {
    if (int rc = check_request(name)) return rc;
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(wire::kOpStat, {name.c_str()})) return gavo::kCodeNotSent;
    const int rc = req.get_reply();
    if (rc != 0) return rc < 0 ? reply_failure(rc) : kBadListing;
    unsigned char bytes[wire::kEntryInfoBytes];
    if (!take(req, bytes, sizeof bytes)) return kBadListing;
    *info = wire::decode_entry_info(bytes);
    return 0;
}

int remove_folder(const std::string& name) {
    if (int rc = check_request(name)) return rc;
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(wire::kOpRemoveFolder, {name.c_str()})) return gavo::kCodeNotSent;
    const int rc = req.get_reply();
    return rc < 0 ? reply_failure(rc) : rc == 0 ? 0 : kBadListing;
}

std::string listing_failure(int rc) {
    switch (rc) {
    case kNoListing:
        return "the server does not support listing (it closed the connection at the request)";
    case kNotServer: return "listing needs working mode 2 (a file server)";
    case kBadListing: return "the server's reply was malformed";
    case kNameTooLong: return "name longer than 499 bytes";
    default: return gavo::code_meaning(rc) + std::string(" (code ") + std::to_string(rc) + ")";
    }
}

std::string shown_name(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, c == '\\' ? "\\\\" : "\\%03o", b);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace gavo_tool
