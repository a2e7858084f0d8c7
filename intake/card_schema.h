// The DDL of the card tables (schema/*.sql, compiled in by the build).
#pragma once

#include <string>
#include <vector>

namespace fw {

struct TCardSchema {
  const char* database;  // "mysql", "sqlite", "postgres"
  const char* ddl;
};

const std::vector<TCardSchema>& CardSchemas();
// The DDL for a database name (letter case ignored); nullptr when unknown.
const char* CardSchemaFor(const std::string& database);
// What a card_file ledger made before its unique identity needs, in order, on every
// database: rows staged twice (by two servers on one share) reduced to one, then the key.
std::vector<std::string> CardFileIdentityUpgrade();

// The statements of a DDL text, one per entry, comments and blank lines left out.
std::vector<std::string> SplitSqlStatements(const std::string& ddl);

}  // namespace fw
