// Reading the current row: columns by name or index, texts in pieces, values by kind.
#include <algorithm>
#include <climits>
#include <cstring>

#include "db/driver_text.h"
#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "db/statement.h"
#include "platform/strings.h"

namespace fw {

namespace {

// The bytes of up to `units` text units at `data`, before the first zero unit.
std::string TextUnits(const char* data, size_t units) {
  size_t n = 0;
  while (n < units) {
    const char* u = data + n * kOdbcTextUnit;
    if (std::all_of(u, u + kOdbcTextUnit, [](char c) { return c == '\0'; })) break;
    ++n;
  }
  return std::string(data, n * kOdbcTextUnit);
}

}  // namespace

// The texts stay allocated for the next row's.
void TODBCStatement::ForgetRow() {
  onRow_ = false;
  std::fill(rowTextRead_.begin(), rowTextRead_.end(), false);
}

SQLRETURN TODBCStatement::GetDataRc(int index, SQLSMALLINT targetType, SQLPOINTER target,
                                    SQLLEN targetLength, SQLLEN& indicator) {
  const auto column = static_cast<SQLUSMALLINT>(index + 1);
  indicator = 0;
  SQLRETURN rc = OdbcApi.SQLGetData(handle_, column, targetType, target, targetLength, &indicator);
  // A column already read gives no data again until the row is refreshed.
  if (rc == SQL_NO_DATA && canRefresh_ &&
      OdbcApi.SQLSetPos(handle_, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) != SQL_ERROR) {
    indicator = 0;
    rc = OdbcApi.SQLGetData(handle_, column, targetType, target, targetLength, &indicator);
  }
  return rc;
}

SQLLEN TODBCStatement::GetData(int index, SQLSMALLINT targetType, SQLPOINTER target,
                               SQLLEN targetLength) {
  SQLLEN indicator = 0;
  GetDataRc(index, targetType, target, targetLength, indicator);
  return indicator;
}

std::string TODBCStatement::ReadText(int index, SQLLEN length) {
  // `length` counts characters; buffers and the indicator count bytes, in units of the text
  // type, whose pieces are joined before they become UTF-8 (a piece may end inside a pair).
  constexpr auto unit = static_cast<SQLLEN>(kOdbcTextUnit);
  // One buffer for every column and row: a fresh one per field was much of reading a row.
  const auto size = static_cast<size_t>((length + 2) * unit);
  if (readBuffer_.size() < size) readBuffer_.resize(size);
  std::fill_n(readBuffer_.begin(), size, '\0');
  SQLLEN indicator = 0;
  SQLRETURN rc =
      GetDataRc(index, kOdbcTextType, readBuffer_.data(), (length + 1) * unit, indicator);
  if (!Succeeded(rc) || (indicator <= 0 && indicator != SQL_NO_TOTAL)) return {};
  std::string raw = TextUnits(readBuffer_.data(), static_cast<size_t>(length));
  // The size a driver reports counts characters, and SQLite does not hold values to their
  // declared size: a longer value comes in pieces, and every piece is kept.
  const auto column = static_cast<SQLUSMALLINT>(index + 1);
  char piece[4096];
  while (rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > length * unit)) {
    length = static_cast<SQLLEN>(sizeof piece) / unit - 1;
    rc = OdbcApi.SQLGetData(handle_, column, kOdbcTextType, piece, sizeof piece, &indicator);
    if (!Succeeded(rc)) break;
    raw += TextUnits(piece, static_cast<size_t>(length));
  }
  if constexpr (!kOdbcWideText) return raw;  // already the text, up to its first zero
  return OdbcText(raw.data(), raw.size() / kOdbcTextUnit);
}

std::string TODBCStatement::ColumnText(int index) {
  if (index < 0 || index >= ColumnCount() || !onRow_) return {};
  const auto i = static_cast<size_t>(index);
  if (rowTextRead_.size() != columns_.size()) {
    rowTexts_.assign(columns_.size(), std::string());
    rowTextRead_.assign(columns_.size(), false);
  }
  if (rowTextRead_[i]) return rowTexts_[i];
  const TColInfo& col = columns_[i];
  std::string text;
  if (bindColumns_ && col.cls != ctMemo) {
    const std::vector<char>& buffer = buffers_[i];
    const auto bound = static_cast<SQLLEN>(buffer.size() / kOdbcTextUnit) - 2;
    text = OdbcText(buffer.data(), static_cast<size_t>(bound));
    if ((col.indicator == SQL_NO_TOTAL ||
         col.indicator > bound * static_cast<SQLLEN>(kOdbcTextUnit)) &&
        (connection_.GetDataExtensions() & SQL_GD_BOUND) != 0) {
      text = ReadText(index, bound);
    }
  } else {
    SQLLEN length = col.size;
    if (col.cls == ctMemo) {
      char probe[sizeof(SQLWCHAR)];
      length = GetData(index, kOdbcTextType, probe, 0);
      if (length == SQL_NO_TOTAL) length = 4096 * static_cast<SQLLEN>(kOdbcTextUnit);
      length /= static_cast<SQLLEN>(kOdbcTextUnit);
    }
    if (length > 0) text = ReadText(index, length);
  }
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  if (!text.empty() && (blank(text.front()) || blank(text.back()))) text = TrimControl(text);
  rowTexts_[i] = std::move(text);
  rowTextRead_[i] = true;
  return rowTexts_[i];
}

int TODBCStatement::ColumnIndex(const std::string& name) const {
  if (name.size() > 128) return -1;
  const std::string upper = UpperAscii(name);
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].name == upper) return static_cast<int>(i);
  }
  return -1;
}

TColumnClass TODBCStatement::ColumnClass(int index) const {
  return index >= 0 && index < ColumnCount() ? columns_[static_cast<size_t>(index)].cls : ctOther;
}

int32_t TODBCStatement::ColumnSize(int index) const {
  return index >= 0 && index < ColumnCount() ? columns_[static_cast<size_t>(index)].size : -1;
}

std::string TODBCStatement::ColumnName(int index) const {
  return index >= 0 && index < ColumnCount() ? columns_[static_cast<size_t>(index)].name
                                             : std::string();
}

std::string TODBCStatement::FieldAsString(const std::string& name) {
  const int i = ColumnIndex(name);
  return i < 0 ? std::string() : ColumnText(i);
}

int32_t TODBCStatement::FieldAsInteger(const std::string& name) {
  return ColumnInteger(ColumnIndex(name));
}

int32_t TODBCStatement::ColumnInteger(int i) {
  if (i < 0 || i >= ColumnCount()) return 0;
  int64_t v = 0;
  const std::string text = ColumnText(i);
  if (bindColumns_) return WholeNumber(text, INT32_MAX, v) ? static_cast<int32_t>(v) : 0;
  // Unbound columns are read once, as text: MariaDB's driver gives a column only once per row
  // and wraps numbers beyond 32 bits when asked for SQL_C_LONG. The whole part of a decimal
  // counts, as the driver's own conversion does.
  return WholeNumber(text.substr(0, WholePartLength(text)), INT32_MAX, v) ? static_cast<int32_t>(v)
                                                                          : 0;
}

bool TODBCStatement::FieldAsBoolean(const std::string& name) {
  return FieldAsInteger(name) != 0;
}

TDateTime TODBCStatement::FieldAsDateTime(const std::string& name) {
  return ColumnDateTime(ColumnIndex(name));
}

TDateTime TODBCStatement::ColumnDateTime(int i) {
  switch (ColumnClass(i)) {
    case ctDate:
      return ParseDate(ColumnText(i));
    case ctTime:
      return ParseTime(ColumnText(i));
    case ctDateTime:
      return ParseDateTime(ColumnText(i));
    default:
      return DateOf(LocalNow());
  }
}

}  // namespace fw
