// How the log lines begin that `fenwoldctl status` reads: the writers start their lines with
// these and the reader looks for them, so a reworded line cannot silently blind monitoring.
#pragma once

namespace fw::logtext {

inline constexpr char kPickedUp[] = "Picked up ";
// Failures.
inline constexpr char kStatementError[] = "Error \"";  // a statement of a card file
inline constexpr char kSqlErr[] = "SQL err: ";         // a card write of the pass
inline constexpr char kFailedToLoad[] = "Failed to load ";
inline constexpr char kFailedToCommit[] = "Failed to commit ";
inline constexpr char kCannot[] = "Cannot ";
inline constexpr char kLostDatabase[] = "Lost the database connection";
inline constexpr char kCommitOutcomeUnknown[] = "Commit outcome unknown for ";
inline constexpr char kDatabaseUnreachable[] = "Database unreachable";
inline constexpr char kWarning[] = "Warning! ";
inline constexpr char kNoSuchCardType[] = "Non-existant card type ";
inline constexpr char kCardTypeMissing[] = "A card type must be supplied";
inline constexpr char kInvalidMonth[] = "Invalid month ";
inline constexpr char kPassStopped[] = "Future-card pass stopped: ";

// The failure lines, as status counts them. A file held open by its writer ("Failed to
// exclusively open") is routine and not among them.
inline constexpr const char* kErrorStarts[] = {
    kStatementError, kSqlErr,         kFailedToLoad,         kFailedToCommit,
    kCannot,         kLostDatabase,   kCommitOutcomeUnknown, kDatabaseUnreachable,
    kWarning,        kNoSuchCardType, kCardTypeMissing,      kInvalidMonth,
    kPassStopped};

}  // namespace fw::logtext
