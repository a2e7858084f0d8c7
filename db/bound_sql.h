// TBoundSql: statement text with `?` markers and the values that go with them, bound by
// TODBCStatement::Exec, never written into the text, so that no server setting (backslash
// escapes, standard strings, quote modes) can read a value differently from how it was meant.
// Rendered() puts the values back as literals, for log lines only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver_kind.h"
#include "platform/datetime.h"

namespace fw {

enum TSqlValueKind : uint8_t {
  svText,       // any text, stored byte for byte
  svNumber,     // a whole number as decimal text (optional sign, digits): NUMERIC(20,0) fits
                // no 64-bit integer
  svInteger,    // a 64-bit integer
  svTimestamp,  // whole seconds; fractions dropped as TimestampLiteral drops them
};

struct TSqlValue {
  TSqlValueKind kind = svText;
  bool null = false;  // SQL NULL, typed by `kind` (a typeless NULL is refused by PostgreSQL)
  std::string text;   // svText, svNumber
  int64_t integer = 0;
  TDateTime when = 0;

  static TSqlValue Text(std::string text);
  static TSqlValue Number(std::string digits);
  static TSqlValue Integer(int64_t value);
  static TSqlValue Timestamp(TDateTime value);
  static TSqlValue Null(TSqlValueKind kind);

  // The value as a literal of the statement text for `driverKind`, as the log shows it:
  // 'it''s', 301702, {ts '2026-01-01 00:00:00'}, null.
  std::string Literal(TDriverKind driverKind) const;
};

// Values of one statement at most, on every driver: psqlODBC loses its connection from about
// 7,500 markers, MariaDB's driver fails above 32,767 (measured).
inline constexpr size_t kMaxBoundValues = 6000;

struct TBoundSql {
  std::string text;
  std::vector<TSqlValue> values;       // one per `?` marker of `text`, in order
  TDriverKind driverKind = dkGeneric;  // how Rendered() quotes texts

  TBoundSql() = default;
  // A statement without values (the text must hold no markers).
  TBoundSql(std::string sqlText) : text(std::move(sqlText)) {}  // NOLINT: implicit on purpose
  TBoundSql(const char* sqlText) : text(sqlText) {}             // NOLINT: implicit on purpose
  TBoundSql(std::string sqlText, std::vector<TSqlValue> sqlValues, TDriverKind kind)
      : text(std::move(sqlText)), values(std::move(sqlValues)), driverKind(kind) {}

  bool Empty() const { return text.empty(); }

  // Appends `more` as it is.
  TBoundSql& operator+=(std::string_view more);
  TBoundSql& operator+=(const char* more) { return *this += std::string_view(more); }
  TBoundSql& operator+=(const std::string& more) { return *this += std::string_view(more); }
  // Appends a marker and its value.
  TBoundSql& operator+=(TSqlValue value);
  // Appends another statement's text and values.
  TBoundSql& operator+=(const TBoundSql& more);

  // The text with every marker replaced by its value's literal: the statement as it would
  // read with the values written into it. Markers inside quoted text are not markers.
  std::string Rendered() const;
};

// "{ts 'yyyy-mm-dd hh:nn:ss'}", fractions dropped (23:59:59.999 stays 23:59:59). A value
// outside the years 1..9999 (or not a number) is written as 1899-12-30 00:00:00 rather than
// as text no database would take.
std::string TimestampLiteral(TDateTime value);
// "yyyy-mm-dd hh:nn:ss" under the same rules: what a bound timestamp sends.
std::string TimestampText(TDateTime value);
// Doubles quotes; for dkMySql then doubles backslashes.
std::string EscapeText(const std::string& text, TDriverKind driverKind);

}  // namespace fw
