#include "service/status_line.h"

namespace fw {

std::string StatusDetails(const TIntakeTally& t, TDateTime unreachableSince) {
  std::string text = t.lastPickup != 0 ? "last pickup " + FormatDateTimeIso(t.lastPickup)
                                       : std::string("no pickup yet");
  text += "; picked up " + std::to_string(t.pickedUp) + ", rejected " + std::to_string(t.rejected);
  text += "; applied " + std::to_string(t.applied);
  if (t.waiting >= 0) text += ", waiting " + std::to_string(t.waiting);
  if (t.nextStart != 0) text += ", next due " + FormatDateTimeIso(t.nextStart);
  if (unreachableSince != 0) {
    text += "; database unreachable since " + FormatDateTimeIso(unreachableSince);
  }
  return text;
}

}  // namespace fw
