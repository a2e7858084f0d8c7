// The process-wide table of ODBC entry points, filled at run time from the driver manager.
// Every ODBC call of the database layer goes through OdbcApi.
#pragma once

#include "platform/odbc_headers.h"

namespace fw {

// The 41 ANSI entry points, in the order they are looked up. All are required, including
// those the system never calls.
// clang-format off
#define FW_ODBC_ENTRY_POINTS(X) \
  X(SQLAllocHandle)       /*  1 */ \
  X(SQLGetEnvAttr)        /*  2 */ \
  X(SQLSetEnvAttr)        /*  3 */ \
  X(SQLDrivers)           /*  4 */ \
  X(SQLDataSources)       /*  5 */ \
  X(SQLGetConnectAttr)    /*  6 */ \
  X(SQLSetConnectAttr)    /*  7 */ \
  X(SQLConnect)           /*  8 */ \
  X(SQLDriverConnect)     /*  9 */ \
  X(SQLBrowseConnect)     /* 10 */ \
  X(SQLGetInfo)           /* 11 */ \
  X(SQLGetStmtAttr)       /* 12 */ \
  X(SQLSetStmtAttr)       /* 13 */ \
  X(SQLTables)            /* 14 */ \
  X(SQLStatistics)        /* 15 */ \
  X(SQLPrimaryKeys)       /* 16 */ \
  X(SQLForeignKeys)       /* 17 */ \
  X(SQLExecDirect)        /* 18 */ \
  X(SQLPrepare)           /* 19 */ \
  X(SQLExecute)           /* 20 */ \
  X(SQLEndTran)           /* 21 */ \
  X(SQLNumResultCols)     /* 22 */ \
  X(SQLRowCount)          /* 23 */ \
  X(SQLFetch)             /* 24 */ \
  X(SQLFetchScroll)       /* 25 */ \
  X(SQLGetData)           /* 26 */ \
  X(SQLDescribeCol)       /* 27 */ \
  X(SQLColAttribute)      /* 28 */ \
  X(SQLColumns)           /* 29 */ \
  X(SQLSpecialColumns)    /* 30 */ \
  X(SQLBindCol)           /* 31 */ \
  X(SQLBindParameter)     /* 32 */ \
  X(SQLSetPos)            /* 33 */ \
  X(SQLPutData)           /* 34 */ \
  X(SQLCloseCursor)       /* 35 */ \
  X(SQLDisconnect)        /* 36 */ \
  X(SQLFreeHandle)        /* 37 */ \
  X(SQLFreeStmt)          /* 38 */ \
  X(SQLGetDiagField)      /* 39 */ \
  X(SQLGetDiagRec)        /* 40 */ \
  X(SQLCancel)            /* 41 */
// clang-format on

// The wide entry points that carry text, bound besides the others where the ODBC text is
// UTF-16 (kOdbcWideText); db/odbc_text is their one caller.
// clang-format off
#define FW_ODBC_WIDE_ENTRY_POINTS(X) \
  X(SQLSetConnectAttrW) \
  X(SQLConnectW)       \
  X(SQLDriverConnectW) \
  X(SQLDataSourcesW)   \
  X(SQLExecDirectW)    \
  X(SQLColAttributeW)  \
  X(SQLGetDiagRecW)    \
  X(SQLGetDiagFieldW)
// clang-format on

// The pointer types come from the declarations in sql.h / sqlext.h; decltype does not make
// the linker look for the functions themselves.
struct TODBCEntryPoints {
#define FW_ODBC_SLOT(name) decltype(&::name) name = nullptr;
  FW_ODBC_ENTRY_POINTS(FW_ODBC_SLOT)
  FW_ODBC_WIDE_ENTRY_POINTS(FW_ODBC_SLOT)
#undef FW_ODBC_SLOT
};

inline constexpr int OdbcEntryPointCount = 41;

// Filled by the first successful LoadODBC while no binding is held; never cleared.
extern TODBCEntryPoints OdbcApi;

// Loads the driver manager and looks up every entry point in table order. At the first name
// that is missing the library is unloaded and the result is false. A true result holds one
// load reference, given back by UnloadODBC.
bool LoadODBC();
void UnloadODBC();
// The load references held by live bindings.
int OdbcBindings();

// The names in table order (for tools and tests).
extern const char* const OdbcEntryPointNames[OdbcEntryPointCount];

}  // namespace fw
