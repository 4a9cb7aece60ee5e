// What both table stores share: the layout version check and new store names.
#include "server/tables/table_store.h"

#include <cerrno>
#include <cstdlib>
#include <random>

namespace gavo::server {

bool schema_usable(const std::optional<std::string>& recorded, StoreError* error) {
    if (!recorded) return true;  // a store from before versions: layout 1
    errno = 0;
    char* end = nullptr;
    const long found = std::strtol(recorded->c_str(), &end, 10);
    if (recorded->empty() || *end != '\0' || errno != 0 || found < 1) {
        error->text = "tables store schema version '" + *recorded + "' is not a version number";
        return false;
    }
    if (found > kSchemaVersion) {
        error->text = newer_schema_text(found);
        return false;
    }
    return true;
}

std::string new_store_id() {
    std::random_device random;
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        for (uint32_t v = random(), n = 0; n < 8; ++n, v >>= 4) id += kHex[v & 15];
    }
    return id;
}

}  // namespace gavo::server
