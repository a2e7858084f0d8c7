#include "intake/ledger_table.h"

#include <memory>

#include "db/odbc_binding.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_schema.h"
#include "log/log_texts.h"
#include "platform/strings.h"

namespace fw {
namespace {

constexpr char kTable[] = "card_file";

bool IdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The statement names the table itself, not merely an index called card_file_...
bool NamesLedger(const std::string& statement) {
  const std::string name = kTable;
  for (size_t at = statement.find(name); at != std::string::npos;
       at = statement.find(name, at + 1)) {
    const size_t end = at + name.size();
    if ((at == 0 || !IdentifierChar(statement[at - 1])) &&
        (end == statement.size() || !IdentifierChar(statement[end]))) {
      return true;
    }
  }
  return false;
}

// One row, one count, whatever the answer: a failure is never read as "absent".
std::string CatalogQuery(const std::string& schema) {
  if (schema == "mysql") {
    return "SELECT COUNT(*) AS n FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() "
           "AND TABLE_NAME = 'card_file'";
  }
  if (schema == "postgres") {
    // The table an unqualified name reaches through the search path, as the service's SQL does.
    return "SELECT COUNT(*) AS n FROM pg_catalog.pg_class c WHERE c.relname = 'card_file' AND "
           "c.relkind IN ('r', 'p') AND pg_catalog.pg_table_is_visible(c.oid)";
  }
  if (schema == "sqlite") {
    return "SELECT COUNT(*) AS n FROM sqlite_master WHERE type = 'table' AND "
           "LOWER(name) = 'card_file'";
  }
  return "SELECT COUNT(*) AS n FROM information_schema.tables WHERE LOWER(table_name) = "
         "'card_file'";
}

TLedgerTable Unknown(const std::string& error, bool lost) {
  TLedgerTable table;
  table.state = lsUnknown;
  table.error = error;
  table.lostConnection = lost;
  return table;
}

}  // namespace

std::string SchemaNameOf(TODBC& db) {
  switch (db.DriverKind()) {
    case dkMySql:
      return "mysql";
    case dkPostgres:
      return "postgres";
    default:
      break;
  }
  // SQLite has no driver kind of its own; its driver names it.
  char name[128] = {};
  SQLSMALLINT length = 0;
  if (db.Connected() &&
      Succeeded(OdbcApi.SQLGetInfo(db.Dbc(), SQL_DBMS_NAME, name, sizeof name, &length)) &&
      UpperAscii(name).find("SQLITE") != std::string::npos) {
    return "sqlite";
  }
  return "";
}

std::vector<std::string> LedgerStatements(const std::string& ddl) {
  std::vector<std::string> statements;
  for (const std::string& statement : SplitSqlStatements(ddl)) {
    if (NamesLedger(statement)) statements.push_back(statement);
  }
  return statements;
}

TLedgerTable FindLedgerTable(TODBC& db) {
  if (!db.Connected()) return Unknown("not connected", false);
  const std::string schema = SchemaNameOf(db);
  TLedgerTable table;
  {
    // On a manual-commit connection the read opens a transaction: it is ended here, not
    // left to the staging that comes next.
    std::unique_ptr<TTransaction> read;
    if (db.ManualCommit()) read = std::make_unique<TTransaction>(db);
    TODBCStatement query(db, caReadOnly);
    if (!query.Exec(CatalogQuery(schema))) {
      std::string error = query.ErrorText();
      if (error.empty()) error = "the catalog query returned no row";
      return Unknown(error, LostConnection(query));
    }
    table.state = query.FieldAsInteger("n") > 0 ? lsPresent : lsMissing;
  }
  if (table.state == lsMissing) {
    const char* ddl = schema.empty() ? nullptr : CardSchemaFor(schema);
    if (ddl != nullptr) table.createStatements = LedgerStatements(ddl);
  }
  return table;
}

TLedgerTable EnsureLedgerTable(TODBC& db) {
  TLedgerTable table = FindLedgerTable(db);
  if (table.state != lsMissing || table.createStatements.empty()) return table;
  std::string error;
  bool lost = false;
  {
    TTransaction transaction(db);
    if (!transaction.Began()) {
      error = transaction.ErrorText();
      lost = transaction.Lost();
    }
    for (const std::string& statement : table.createStatements) {
      if (!error.empty() || lost) break;
      TODBCStatement create(db);
      if (!create.Exec(statement)) {
        error = create.ErrorText();
        lost = LostConnection(create);
        if (error.empty()) error = "CREATE failed without a diagnostic";
      }
    }
    if (error.empty() && !lost) {
      if (transaction.Commit()) {
        table.state = lsCreated;
        return table;
      }
      error = transaction.ErrorText();
      lost = transaction.Lost();
      if (error.empty()) error = "COMMIT failed without a diagnostic";
    }
  }  // rolled back
  if (lost) return Unknown(error, true);
  // Another server may have made it meanwhile: the catalog decides, not the error.
  TLedgerTable again = FindLedgerTable(db);
  if (again.state == lsMissing) again.error = error;
  return again;
}

std::string LedgerTableLine(const TLedgerTable& table) {
  switch (table.state) {
    case lsCreated:
      return "Created the card_file ledger: card files are now staged once, also by two "
             "servers on one share";
    case lsMissing:
      return std::string(logtext::kWarning) +
             "The card_file ledger is missing and cannot be created" +
             (table.error.empty() ? std::string() : " (" + OneLine(table.error) + ")") +
             ": a card file whose move failed after its commit is staged again, and two "
             "servers on one share may both stage a file; fenwoldctl check prints the "
             "statements that create it";
    default:
      return "";
  }
}

}  // namespace fw
