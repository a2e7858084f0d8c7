#include "db/driver_kind.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/strings.h"

namespace fw {

namespace {

struct TKindName {
  const char* substring;
  TDriverKind kind;
};

// Order matters: the first substring found decides.
constexpr TKindName kKindNames[] = {
    {"oracle", dkOracle},
    {"firebird", dkFirebird},
    {"mysql", dkMySql},
    // MariaDB registers its driver as "MariaDB Unicode"; taken for generic it would get no
    // backslash escaping, and a value ending in "\" would break out of its string literal.
    {"mariadb", dkMySql},
    {"postgres", dkPostgres},
    {"psqlodbc", dkPostgres},
    {"sql server", dkSqlServer},
    {"sql native client", dkSqlServer},
    {"codebase", dkCodeBase},
    {"foxpro", dkFoxPro},
    {"dbf", dkFoxPro},
    {"access", dkAccess},
    {"excel", dkExcel},
};

}  // namespace

TDriverKind DetectDriverKind(std::string_view text, TDriverKind current) {
  const std::string lower = LowerAscii(text);
  for (const TKindName& k : kKindNames) {
    if (lower.find(k.substring) != std::string::npos) return k.kind;
  }
  return current;
}

const char* DriverKindName(TDriverKind kind) {
  switch (kind) {
    case dkOracle:
      return "Oracle";
    case dkMySql:
      return "MySQL family";
    case dkFoxPro:
      return "FoxPro/dBase";
    case dkFirebird:
      return "Firebird";
    case dkAccess:
      return "Access";
    case dkExcel:
      return "Excel";
    case dkSqlServer:
      return "SQL Server";
    case dkCodeBase:
      return "CodeBase";
    case dkPostgres:
      return "PostgreSQL";
    default:
      return "generic";
  }
}

}  // namespace fw
