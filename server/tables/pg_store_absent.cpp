// The PostgreSQL back end's place in a build without libpq (GAVO_WITH_POSTGRESQL off):
// there is no store, and the server and gavo-tables-export refuse a postgresql:// URL at
// start with kNoPgStoreText.
#include "server/tables/table_store.h"

namespace gavo::server {

std::unique_ptr<TableStore> make_pg_store(const std::string&) { return nullptr; }

bool pg_store_built() { return false; }

}  // namespace gavo::server
