// What a failure means, decided from the codes each driver really returns.
#include <gtest/gtest.h>

#include "db/diagnostics.h"

namespace fw {
namespace {

struct TCase {
  const char* what;
  TDriverKind kind;
  TDiagRecord record;
  TFailureKind expected;
};

const TCase kCases[] = {
    // Lost connections.
    {"MariaDB server gone away",
     dkMySql,
     {"08S01", 2006, "Server has gone away"},
     fkLostConnection},
    {"MariaDB lost during query", dkMySql, {"08S01", 2013, "Lost connection"}, fkLostConnection},
    {"MariaDB new handle on a dead connection",
     dkMySql,
     {"08003", 0, "not open"},
     fkLostConnection},
    {"MariaDB cannot connect (socket)",
     dkMySql,
     {"HY000", 2002, "Can't connect"},
     fkLostConnection},
    {"MariaDB cannot connect (TCP)", dkMySql, {"HY000", 2003, "Can't connect"}, fkLostConnection},
    {"MariaDB gone, as HY000", dkMySql, {"HY000", 2006, "gone away"}, fkLostConnection},
    {"MariaDB lost, as HY000", dkMySql, {"HY000", 2013, "Lost connection"}, fkLostConnection},
    {"MariaDB socket read failed", dkMySql, {"HY000", 5013, "read failed"}, fkLostConnection},
    {"MariaDB socket write failed", dkMySql, {"HY000", 5014, "write failed"}, fkLostConnection},
    {"MariaDB connection killed",
     dkMySql,
     {"HY000", 1927, "Connection was killed"},
     fkLostConnection},
    {"PostgreSQL admin shutdown",
     dkPostgres,
     {"57P01", 7, "terminating connection"},
     fkLostConnection},
    {"PostgreSQL crash shutdown", dkPostgres, {"57P02", 7, "crash"}, fkLostConnection},
    {"PostgreSQL cannot connect now", dkPostgres, {"57P03", 7, "starting up"}, fkLostConnection},
    {"psqlODBC communication link", dkPostgres, {"08S01", 35, "could not send"}, fkLostConnection},
    {"psqlODBC unreachable server",
     dkPostgres,
     {"08001", 101, "could not connect to server"},
     fkLostConnection},
    {"psqlODBC server starting",
     dkPostgres,
     {"08001", 101, "FATAL:  the database system is starting up"},
     fkLostConnection},
    // A refused login reaches the server: not a lost connection.
    {"psqlODBC wrong password",
     dkPostgres,
     {"08001", 101, "FATAL:  password authentication failed"},
     fkBadData},
    // Try again.
    {"MariaDB deadlock (also Galera certification)",
     dkMySql,
     {"40001", 1213, "Deadlock found"},
     fkTryAgain},
    {"MariaDB lock wait timeout",
     dkMySql,
     {"HY000", 1205, "Lock wait timeout exceeded"},
     fkTryAgain},
    {"PostgreSQL serialization failure",
     dkPostgres,
     {"40001", 7, "could not serialize"},
     fkTryAgain},
    {"PostgreSQL deadlock", dkPostgres, {"40P01", 7, "deadlock detected"}, fkTryAgain},
    {"PostgreSQL lock timeout",
     dkPostgres,
     {"55P03", 7, "canceling statement due to lock"},
     fkTryAgain},
    // The server ended the transaction itself: the unit is over and may run again.
    {"MariaDB query interrupted (Galera abort, prepared path)",
     dkMySql,
     {"70100", 1317, "Query execution was interrupted"},
     fkTryAgain},
    {"MariaDB query interrupted, as HY000", dkMySql, {"HY000", 1317, "interrupted"}, fkTryAgain},
    {"Galera node not prepared is no lost connection",
     dkMySql,
     {"08S01", 1047, "WSREP has not yet prepared node for application use"},
     fkTryAgain},
    {"MariaDB error during COMMIT",
     dkMySql,
     {"HY000", 1180, "Got error 1 during COMMIT"},
     fkTryAgain},
    {"MariaDB error during ROLLBACK",
     dkMySql,
     {"HY000", 1181, "Got error 1 during ROLLBACK"},
     fkTryAgain},
    {"SQLite code 1180 is no MariaDB commit error", dkGeneric, {"HY000", 1180, "x"}, fkBadData},
    {"PostgreSQL statement cancelled", dkPostgres, {"57014", 7, "canceling statement"}, fkTryAgain},
    {"PostgreSQL aborted transaction",
     dkPostgres,
     {"25P02", 7, "current transaction is aborted"},
     fkTryAgain},
    {"SQLite busy", dkGeneric, {"HY000", 5, "database is locked"}, fkTryAgain},
    {"SQLite table locked", dkGeneric, {"HY000", 6, "database table is locked"}, fkTryAgain},
    {"query timeout", dkGeneric, {"HYT00", 0, "Timeout expired"}, fkTryAgain},
    // Bad data.
    {"MariaDB duplicate key", dkMySql, {"23000", 1062, "Duplicate entry"}, fkBadData},
    {"MariaDB syntax", dkMySql, {"42000", 1064, "syntax"}, fkBadData},
    {"MariaDB general error 5 is no SQLite lock", dkMySql, {"HY000", 5, "x"}, fkBadData},
    {"PostgreSQL general error 5 is no SQLite lock", dkPostgres, {"HY000", 5, "x"}, fkBadData},
    {"PostgreSQL unique violation", dkPostgres, {"23505", 7, "duplicate key"}, fkBadData},
    {"SQLite constraint", dkGeneric, {"HY000", 19, "UNIQUE constraint failed"}, fkBadData},
    {"SQLite syntax", dkGeneric, {"HY000", 1, "near \"x\": syntax error"}, fkBadData},
    // Text that merely mentions a code decides nothing.
    {"a value quoting a state",
     dkMySql,
     {"23000", 1062, "Duplicate entry 'State:  40001'"},
     fkBadData},
};

TEST(DbDiagnostics, EachCodeOfEachDriver) {
  for (const TCase& c : kCases) {
    EXPECT_EQ(ClassifyFailure(c.kind, {c.record}), c.expected) << c.what;
  }
}

TEST(DbDiagnostics, AnyRecordDecidesAndLostConnectionWins) {
  const TDiagRecord info{"01000", 0, "warning"};
  const TDiagRecord deadlock{"40001", 1213, "Deadlock"};
  const TDiagRecord gone{"08S01", 2006, "gone"};
  EXPECT_EQ(ClassifyFailure(dkMySql, {}), fkBadData);
  EXPECT_EQ(ClassifyFailure(dkMySql, {info, deadlock}), fkTryAgain);
  EXPECT_EQ(ClassifyFailure(dkMySql, {deadlock, gone}), fkLostConnection);
}

TEST(DbDiagnostics, LogTextKeepsItsFormat) {
  EXPECT_EQ(DiagText({{"42000", 1064, "You have an error"}, {"01000", 0, "note"}}),
            "You have an error. State:  42000 | note. State:  01000");
  EXPECT_EQ(DiagText({{"22001", 7, "ERROR: value too long;\nError while executing the query"}}),
            "ERROR: value too long; Error while executing the query. State:  22001");
}

}  // namespace
}  // namespace fw
