// TBoundRows and TBoundInserter: INSERTs of many rows of one column list, every value bound as
// a parameter, never written into the statement text, so that the server's quoting settings
// cannot change what is stored.
//
// Threads: as TODBCStatement (the thread that owns the connection).
// Ownership: the rows are the caller's; an insert binds them (or copies of them) for its one
// run and unbinds them before it returns.
// Failures: as TODBCStatement::Exec: the status is returned and kept by the statement, and in a
// guard's unit it keeps the unit from committing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/driver_kind.h"
#include "db/statement.h"

namespace fw {

enum TBoundType : uint8_t {
  btText,       // character data, stored as given
  btNumber,     // a whole number as text, for a DECIMAL column; NULL when empty
  btInteger,    // a whole number as text, for an INTEGER column
  btTimestamp,  // "yyyy-mm-dd hh:nn:ss"
};

class TBoundRows {
 public:
  // A new set of rows for these columns (names as the statement spells them).
  void Reset(std::vector<std::string> names, std::vector<TBoundType> types);
  // The values of one row, in column order; a btNumber value that is empty is NULL.
  void AddRow(std::vector<std::string> values);
  // Room for this many rows in all, for a caller that knows how many it adds.
  void Reserve(size_t rows) { values_.reserve(rows * names_.size()); }
  void Clear() { values_.clear(); }

  size_t Rows() const { return names_.empty() ? 0 : values_.size() / names_.size(); }
  size_t Columns() const { return names_.size(); }
  const std::vector<std::string>& Names() const { return names_; }
  TBoundType Type(size_t column) const { return types_[column]; }
  const std::string& Value(size_t row, size_t column) const {
    return values_[row * names_.size() + column];
  }
  bool Null(size_t row, size_t column) const {
    return types_[column] == btNumber && Value(row, column).empty();
  }
  // Bytes of values held, for callers that bound a batch by its size.
  size_t Bytes() const { return bytes_; }

 private:
  std::vector<std::string> names_;
  std::vector<TBoundType> types_;
  std::vector<std::string> values_;  // row after row
  size_t bytes_ = 0;
};

// Runs the INSERTs of rows on a statement of its own, which nothing else binds on, renewed
// after a failed run: MariaDB's driver (Connector/ODBC 3.1.15) crashed running its statement
// again with another array size after an array had failed. Owned and called by the
// connection's thread.
class TBoundInserter {
 public:
  explicit TBoundInserter(TODBC& connection) : connection_(connection) {}
  // INSERT INTO <table> (<names>) ... of rows [from, to): a parameter array on MariaDB, arrays
  // unnested on PostgreSQL, a multi-row INSERT of markers elsewhere; one row always as
  // markers. Fails whole when any row is refused.
  TDbStatus Insert(const std::string& table, const TBoundRows& rows, size_t from, size_t to);
  // Only where BoundSetUpdates(kind): UPDATE <table> SET every column but `key` (a name as
  // Names() spells it) from the rows [from, to) joined on `key`. On MariaDB one parameter
  // array of single-row UPDATEs (a joined list of 200 rows took 5.6 ms of the server and most
  // of the client's time binding and parsing its markers); on PostgreSQL the rows as arrays,
  // unnested (its parser took 4 ms for a VALUES list of 300 rows of markers). Fails when any
  // row is refused; rows updated before it are undone only with the caller's transaction.
  TDbStatus Update(const std::string& table, const std::string& key, const TBoundRows& rows,
                   size_t from, size_t to);

 private:
  // Runs on the inserter's statement, made at the first run and renewed after a failed one.
  TDbStatus OnOwnStatement(const std::function<TDbStatus(TODBCStatement&)>& run);
  TDbStatus UpdateArray(const std::string& table, const std::string& key, const TBoundRows& rows,
                        size_t from, size_t to);
  TDbStatus UpdateUnnested(const std::string& table, const std::string& key,
                           const TBoundRows& rows, size_t from, size_t to);

  TODBC& connection_;
  std::optional<TODBCStatement> statement_;
};

// Whether TBoundInserter::Update runs on the driver: MariaDB's with narrow texts (its array
// goes in one round trip), and PostgreSQL's.
bool BoundSetUpdates(TDriverKind kind);

// How many rows of `columns` values one such INSERT (or array UPDATE) should take on the
// driver: as many as pay off, and never so many markers that the driver breaks.
size_t BoundInsertRows(TDriverKind kind, size_t columns);

}  // namespace fw
