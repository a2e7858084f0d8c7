// The check of `fenwoldctl check` for the card file encoding settings: a name that is not
// known would keep every card file in the drop folder.
#include <cctype>

#include "platform/strings.h"
#include "platform/text_encoding.h"
#include "tools/ctl_check.h"

namespace fw {
namespace {

TCheckResult CheckCardFileEncoding(TCheckContext& c) {
  const TConnParams& p = c.params;
  const std::string fixed = p.CardFileEncoding;
  const std::string lower = LowerAscii(fixed);
  const bool isAuto = lower.empty() || lower == "auto";
  const std::string legacy =
      p.CardFileCodePage.empty() ? DefaultLegacyEncoding() : p.CardFileCodePage;
  if (!isAuto && !IsKnownEncoding(fixed)) {
    return {TCheckStatus::kFail, "CardFileEncoding \"" + fixed + "\" is not a known encoding", ""};
  }
  if (!IsKnownEncoding(legacy)) {
    return {TCheckStatus::kFail, "CardFileCodePage \"" + legacy + "\" is not a known encoding", ""};
  }
  if (!isAuto) return {TCheckStatus::kPass, "every file read as " + fixed, ""};
  return {TCheckStatus::kPass, "auto; files that are not UTF-8 read as " + legacy, ""};
}

const TCheck kEncoding(105, "card file encoding", CheckCardFileEncoding);

}  // namespace
}  // namespace fw
