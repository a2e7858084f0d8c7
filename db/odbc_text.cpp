#include "db/odbc_text.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "db/odbc_binding.h"
#include "platform/utf16.h"

namespace fw {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));

// The text of one call argument, alive for the call.
class TArg {
 public:
  explicit TArg(const std::string& text) : narrow_(text) {
    if constexpr (kOdbcWideText) wide_ = Utf8ToUtf16(text);
  }
  SQLCHAR* Narrow() { return reinterpret_cast<SQLCHAR*>(narrow_.data()); }
  SQLWCHAR* Wide() { return reinterpret_cast<SQLWCHAR*>(wide_.data()); }

 private:
  std::string narrow_;
  std::u16string wide_;
};

// A buffer that a call fills with text, `capacity` characters and a terminating zero.
template <typename TChar>
class TOut {
 public:
  explicit TOut(size_t capacity) : data_(capacity + 1, TChar{}) {}
  TChar* Data() { return data_.data(); }
  SQLSMALLINT Size() const { return static_cast<SQLSMALLINT>(data_.size()); }
  // The text up to the first zero (the length a driver reports may count what did not fit).
  std::string Text() const {
    const TChar* p = data_.data();
    const TChar* end = std::find(p, p + data_.size() - 1, TChar{});
    if constexpr (sizeof(TChar) == 1) {
      return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
    } else {
      return Utf16ToUtf8(
          std::u16string_view(reinterpret_cast<const char16_t*>(p), static_cast<size_t>(end - p)));
    }
  }

 private:
  std::vector<TChar> data_;
};

}  // namespace

std::string OdbcText(const void* data, size_t units) {
  if constexpr (kOdbcWideText) {
    const auto* p = static_cast<const char16_t*>(data);
    return Utf16ToUtf8(std::u16string_view(p, std::find(p, p + units, u'\0') - p));
  } else {
    const auto* p = static_cast<const char*>(data);
    return std::string(p, strnlen(p, units));
  }
}

SQLRETURN OdbcSetCatalog(SQLHDBC dbc, const std::string& catalog) {
  TArg name(catalog);
  if constexpr (kOdbcWideText) {
    return OdbcApi.SQLSetConnectAttrW(dbc, SQL_ATTR_CURRENT_CATALOG, name.Wide(), SQL_NTS);
  } else {
    return OdbcApi.SQLSetConnectAttr(dbc, SQL_ATTR_CURRENT_CATALOG, name.Narrow(), SQL_NTS);
  }
}

SQLRETURN OdbcConnect(SQLHDBC dbc, const std::string& dataSource, const std::string& user,
                      const std::string& password) {
  TArg d(dataSource), u(user), p(password);
  if constexpr (kOdbcWideText) {
    return OdbcApi.SQLConnectW(dbc, d.Wide(), SQL_NTS, u.Wide(), SQL_NTS, p.Wide(), SQL_NTS);
  } else {
    return OdbcApi.SQLConnect(dbc, d.Narrow(), SQL_NTS, u.Narrow(), SQL_NTS, p.Narrow(), SQL_NTS);
  }
}

SQLRETURN OdbcDriverConnect(SQLHDBC dbc, const std::string& in, std::string& completed) {
  TArg text(in);
  SQLSMALLINT length = 0;
  SQLRETURN rc;
  if constexpr (kOdbcWideText) {
    TOut<SQLWCHAR> out(1023);
    rc = OdbcApi.SQLDriverConnectW(dbc, nullptr, text.Wide(), SQL_NTS, out.Data(), out.Size(),
                                   &length, SQL_DRIVER_NOPROMPT);
    completed = out.Text();
  } else {
    TOut<SQLCHAR> out(1023);
    rc = OdbcApi.SQLDriverConnect(dbc, nullptr, text.Narrow(), SQL_NTS, out.Data(), out.Size(),
                                  &length, SQL_DRIVER_NOPROMPT);
    completed = out.Text();
  }
  return rc;
}

SQLRETURN OdbcDataSource(SQLHENV env, SQLUSMALLINT direction, std::string& name,
                         std::string& description) {
  SQLSMALLINT nameLength = 0, descriptionLength = 0;
  SQLRETURN rc;
  if constexpr (kOdbcWideText) {
    TOut<SQLWCHAR> n(255), d(255);
    rc = OdbcApi.SQLDataSourcesW(env, direction, n.Data(), n.Size(), &nameLength, d.Data(),
                                 d.Size(), &descriptionLength);
    name = n.Text(), description = d.Text();
  } else {
    TOut<SQLCHAR> n(255), d(255);
    rc = OdbcApi.SQLDataSources(env, direction, n.Data(), n.Size(), &nameLength, d.Data(), d.Size(),
                                &descriptionLength);
    name = n.Text(), description = d.Text();
  }
  return rc;
}

SQLRETURN OdbcExecDirect(SQLHSTMT stmt, const std::string& sql) {
  TArg text(sql);
  if constexpr (kOdbcWideText) {
    return OdbcApi.SQLExecDirectW(stmt, text.Wide(), SQL_NTS);
  } else {
    return OdbcApi.SQLExecDirect(stmt, text.Narrow(), SQL_NTS);
  }
}

SQLRETURN OdbcColumnName(SQLHSTMT stmt, SQLUSMALLINT column, std::string& name) {
  SQLSMALLINT length = 0;
  SQLRETURN rc;
  // SQLColAttribute's buffer length counts bytes, in both forms.
  if constexpr (kOdbcWideText) {
    TOut<SQLWCHAR> out(253);
    rc = OdbcApi.SQLColAttributeW(stmt, column, SQL_DESC_NAME, out.Data(),
                                  static_cast<SQLSMALLINT>(out.Size() * sizeof(SQLWCHAR)), &length,
                                  nullptr);
    name = out.Text();
  } else {
    TOut<SQLCHAR> out(253);
    rc = OdbcApi.SQLColAttribute(stmt, column, SQL_DESC_NAME, out.Data(), out.Size(), &length,
                                 nullptr);
    name = out.Text();
  }
  return rc;
}

SQLRETURN OdbcDiagRecord(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT record,
                         TOdbcDiagRecord& out) {
  SQLSMALLINT length = 0;
  SQLRETURN rc;
  out = TOdbcDiagRecord();
  if constexpr (kOdbcWideText) {
    TOut<SQLWCHAR> state(5), message(511);
    rc = OdbcApi.SQLGetDiagRecW(handleType, handle, record, state.Data(), &out.native,
                                message.Data(), message.Size(), &length);
    out.state = state.Text(), out.message = message.Text();
  } else {
    TOut<SQLCHAR> state(5), message(511);
    rc = OdbcApi.SQLGetDiagRec(handleType, handle, record, state.Data(), &out.native,
                               message.Data(), message.Size(), &length);
    out.state = state.Text(), out.message = message.Text();
  }
  return rc;
}

SQLRETURN OdbcDiagMessage(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT record,
                          std::string& message) {
  SQLSMALLINT length = 0;
  SQLRETURN rc;
  // A string field's buffer length counts bytes, in both forms.
  if constexpr (kOdbcWideText) {
    TOut<SQLWCHAR> out(511);
    rc = OdbcApi.SQLGetDiagFieldW(handleType, handle, record, SQL_DIAG_MESSAGE_TEXT, out.Data(),
                                  static_cast<SQLSMALLINT>(out.Size() * sizeof(SQLWCHAR)), &length);
    message = out.Text();
  } else {
    TOut<SQLCHAR> out(511);
    rc = OdbcApi.SQLGetDiagField(handleType, handle, record, SQL_DIAG_MESSAGE_TEXT, out.Data(),
                                 out.Size(), &length);
    message = out.Text();
  }
  return rc;
}

}  // namespace fw
