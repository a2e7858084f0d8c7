// TSql: column names with values, turned into the text of one INSERT or UPDATE. Owns all
// quoting of values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/driver_kind.h"
#include "platform/datetime.h"
#include "platform/strings.h"

namespace fw {

class TSql {
 public:
  explicit TSql(TDriverKind driverKind);

  void Clear(bool allowDuplicates = false);
  // Returns the field's index; a name already present (any letter case) keeps its first value
  // unless duplicates are allowed.
  int AddField(const std::string& name, const std::string& value, bool quoted);
  int AddInteger(const std::string& name, int32_t value);
  int AddDateTime(const std::string& name, TDateTime value);

  std::string UpdateText(const std::string& prefix, const std::string& where) const;
  std::string InsertText(const std::string& prefix, const std::string& keyword,
                         const std::string& suffix = "") const;
  // The two halves of InsertText: "a, b" and "(1, 'x')", for INSERTs of several rows.
  std::string ColumnListText() const;
  std::string ValuesText() const;

  int IndexOfField(const std::string& name) const;
  // Doubles quotes; for dkMySql then doubles backslashes.
  std::string EscapeValue(const std::string& text) const;
  // "'" + EscapeValue(text) + "'": how a value is put into any statement text safely.
  std::string QuotedValue(const std::string& text) const;
  static std::string QuoteName(const std::string& name);

  TDriverKind DriverKind() const { return driverKind_; }
  bool AllowDuplicates() const { return allowDuplicates_; }
  size_t Count() const { return fieldNames_.size(); }

 private:
  std::string ValueText(size_t i) const;

  TDriverKind driverKind_;
  bool allowDuplicates_ = false;
  std::vector<std::string> fieldNames_;
  std::vector<std::string> fieldValues_;
  std::vector<bool> quotedFlags_;
};

// "{ts 'yyyy-mm-dd hh:nn:ss'}", fractions dropped (23:59:59.999 stays 23:59:59). A value
// outside the years 1..9999 (or not a number) is written as 1899-12-30 00:00:00 rather than
// as text no database would take.
std::string TimestampLiteral(TDateTime value);

}  // namespace fw
