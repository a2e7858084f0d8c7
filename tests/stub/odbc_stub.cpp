// A stand-in for the ODBC driver manager in the binding tests: it exports the 41 entry points
// by name (one of them left out when FENWOLD_STUB_LACKS_BROWSE_CONNECT is defined), and every
// call fails. Only the names matter; the only function ever called is SQLAllocHandle.
extern "C" {

short SQLAllocHandle(short, void*, void** out) {
  if (out != nullptr) *out = nullptr;
  return -1;
}

#define FW_STUB(name) \
  short name() {      \
    return -1;        \
  }

FW_STUB(SQLGetEnvAttr)
FW_STUB(SQLSetEnvAttr)
FW_STUB(SQLDrivers)
FW_STUB(SQLDataSources)
FW_STUB(SQLGetConnectAttr)
FW_STUB(SQLSetConnectAttr)
FW_STUB(SQLConnect)
FW_STUB(SQLDriverConnect)
#ifndef FENWOLD_STUB_LACKS_BROWSE_CONNECT
FW_STUB(SQLBrowseConnect)
#endif
FW_STUB(SQLGetInfo)
FW_STUB(SQLGetStmtAttr)
FW_STUB(SQLSetStmtAttr)
FW_STUB(SQLTables)
FW_STUB(SQLStatistics)
FW_STUB(SQLPrimaryKeys)
FW_STUB(SQLForeignKeys)
FW_STUB(SQLExecDirect)
FW_STUB(SQLPrepare)
FW_STUB(SQLExecute)
FW_STUB(SQLEndTran)
FW_STUB(SQLNumResultCols)
FW_STUB(SQLRowCount)
FW_STUB(SQLFetch)
FW_STUB(SQLFetchScroll)
FW_STUB(SQLGetData)
FW_STUB(SQLDescribeCol)
FW_STUB(SQLColAttribute)
FW_STUB(SQLColumns)
FW_STUB(SQLSpecialColumns)
FW_STUB(SQLBindCol)
FW_STUB(SQLBindParameter)
FW_STUB(SQLSetPos)
FW_STUB(SQLPutData)
FW_STUB(SQLCloseCursor)
FW_STUB(SQLDisconnect)
FW_STUB(SQLFreeHandle)
FW_STUB(SQLFreeStmt)
FW_STUB(SQLGetDiagField)
FW_STUB(SQLGetDiagRec)
FW_STUB(SQLCancel)

}  // extern "C"
