// Card lines turned into staging batches on a thread of their own, so that reading and
// building the next batch overlaps with the database's work on the last one. Nothing here
// touches the database: group rows and rows refused before any statement are handed on as
// they are, in file order. A batch keeps its rows apart, so that a failed one can be split.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/bulk_insert.h"
#include "db/driver_kind.h"
#include "intake/card_file.h"
#include "platform/datetime.h"

namespace fw {

struct TStageItem {
  enum TKind { ikCards, ikGroup, ikRefused, ikEnd } kind = ikEnd;
  TBoundRows rows;                    // ikCards: one column list, one row per card line
  std::vector<size_t> lines;          // line numbers (from 1): one per row, or the group's line
  std::vector<std::string> texts;     // the lines themselves, as `lines`
  std::vector<TColumnEntry> entries;  // ikGroup, ikRefused
  std::string error;                  // ikRefused: why the row cannot become a statement
};

class TStageBatches {
 public:
  // Starts reading at once, on its thread: `lines` is its own until the object is gone, and
  // must outlive it, as `clock`. A batch holds at most as many rows as one INSERT takes on the
  // driver (BoundInsertRows), and about `batchBytes`.
  TStageBatches(TLineSource& lines, TDriverKind driverKind, const TClock& clock,
                size_t batchBytes);
  ~TStageBatches();  // stops the reader early when the items were not all taken
  TStageBatches(const TStageBatches&) = delete;
  TStageBatches& operator=(const TStageBatches&) = delete;

  // The next item in file order; ikEnd after the last. Rethrows what stopped the reader.
  TStageItem Next();

 private:
  void Read();
  bool Push(TStageItem item);  // false when the consumer has gone

  TLineSource& lines_;
  TDriverKind driverKind_;
  const TClock& clock_;
  size_t batchBytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TStageItem> items_;
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace fw
