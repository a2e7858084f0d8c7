// TSql: column names with values, turned into one INSERT or UPDATE with `?` markers and its
// bound values (db/bound_sql.h). Values never enter the statement text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/bound_sql.h"
#include "db/driver_kind.h"
#include "platform/datetime.h"
#include "platform/strings.h"

namespace fw {

// What the text of an AddField means.
enum TTextUse {
  tuText,         // a text, stored as it is ('' when empty)
  tuWholeNumber,  // a whole number checked by the caller as plain digits; NULL when empty
};

class TSql {
 public:
  explicit TSql(TDriverKind driverKind);

  void Clear(bool allowDuplicates = false);
  // Room for this many fields, for callers that know how many they add.
  void Reserve(size_t fields);
  // Each returns the field's index; a name already present (any letter case) keeps its first
  // value unless duplicates are allowed. Texts lose their leading and trailing control
  // characters and blanks.
  int AddField(const std::string& name, const std::string& value, TTextUse use);
  int AddInteger(const std::string& name, int64_t value);
  int AddDateTime(const std::string& name, TDateTime value);
  int AddValue(const std::string& name, TSqlValue value);

  // "<prefix> set a=?, b=? <where>"; `where` is appended with its values.
  TBoundSql UpdateText(const std::string& prefix, const TBoundSql& where) const;
  // "<prefix> (a, b) <keyword> (?, ?)<suffix>"
  TBoundSql InsertText(const std::string& prefix, const std::string& keyword,
                       const std::string& suffix = "") const;
  // The two halves of InsertText: "a, b" and "(?, ?)" with its values, for INSERTs of
  // several rows.
  std::string ColumnListText() const;
  TBoundSql ValuesText() const;

  int IndexOfField(const std::string& name) const;
  // The same field names in the same order.
  bool SameColumns(const TSql& other) const { return fieldNames_ == other.fieldNames_; }
  // A statement of `text` and its `values`, rendered for the log as this builder's driver
  // kind quotes.
  TBoundSql Bound(std::string text, std::vector<TSqlValue> values = {}) const;
  static std::string QuoteName(const std::string& name);

  TDriverKind DriverKind() const { return driverKind_; }
  bool AllowDuplicates() const { return allowDuplicates_; }
  size_t Count() const { return fieldNames_.size(); }
  // Field i, as it goes into the statement.
  const std::string& FieldName(size_t i) const { return fieldNames_[i]; }
  const TSqlValue& FieldValue(size_t i) const { return fieldValues_[i]; }

 private:
  TDriverKind driverKind_;
  bool allowDuplicates_ = false;
  std::vector<std::string> fieldNames_;
  std::vector<TSqlValue> fieldValues_;
};

}  // namespace fw
