#include "db/status.h"

namespace fw {

TDbStatus TDbStatus::Failure(TDriverKind kind, TDiagnostics records) {
  // A failure must never read as an answer: without records a log line would say nothing.
  if (records.empty()) {
    records.push_back({"HY000", 0, "The driver reported a failure without diagnostics."});
  }
  TDbCode code = dcBadData;
  switch (ClassifyFailure(kind, records)) {
    case fkLostConnection:
      code = dcLost;
      break;
    case fkTryAgain:
      code = dcTryAgain;
      break;
    case fkBadData:
      break;
  }
  return TDbStatus(code, std::move(records));
}

TDbStatus TDbStatus::Failure(TDbCode code, const std::string& text) {
  return TDbStatus(code, {{"HY000", 0, text}});
}

TDbStatus TDbStatus::Recoded(TDbCode code) const {
  return TDbStatus(code, records_);
}

std::string TDbStatus::CodedText() const {
  if (records_.empty()) return {};
  const TDiagRecord& first = records_.front();
  return "SQLSTATE " + first.sqlstate + ", native " + std::to_string(first.native) + ": " + Text();
}

}  // namespace fw
