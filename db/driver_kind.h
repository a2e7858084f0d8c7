// Driver family of a connection; steers connection strings, cursors and quoting.
#pragma once

#include <cstdint>
#include <string_view>

namespace fw {

enum TDriverKind : uint8_t {
  dkGeneric = 0,
  dkOracle = 1,
  dkMySql = 2,  // also MariaDB: same string literal rules
  dkFoxPro = 3,
  dkFirebird = 4,
  dkAccess = 5,
  dkExcel = 6,
  dkSqlServer = 7,
  dkCodeBase = 8,
  dkPostgres = 9,  // aborts a transaction at its first failed statement
};

// The first family whose name occurs in `text` (letter case ignored); `current` when none.
TDriverKind DetectDriverKind(std::string_view text, TDriverKind current);

// "generic", "Oracle", "MySQL family", ... for tools and logs.
const char* DriverKindName(TDriverKind kind);

}  // namespace fw
