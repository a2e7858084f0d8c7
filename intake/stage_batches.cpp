#include "intake/stage_batches.h"

#include "intake/staging_sql.h"

namespace fw {
namespace {

// Batches waiting for the database at most: enough to keep it busy, little memory.
constexpr size_t QueuedItems = 4;

}  // namespace

TStageBatches::TStageBatches(TLineSource& lines, TDriverKind driverKind, const TClock& clock,
                             size_t batchBytes)
    : lines_(lines),
      driverKind_(driverKind),
      clock_(clock),
      batchBytes_(batchBytes),
      thread_([this] { Read(); }) {}

TStageBatches::~TStageBatches() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool TStageBatches::Push(TStageItem item) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stop_ || items_.size() < QueuedItems; });
  if (stop_) return false;
  items_.push_back(std::move(item));
  changed_.notify_all();
  return true;
}

TStageItem TStageBatches::Next() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !items_.empty() || failure_; });
  if (items_.empty()) std::rethrow_exception(failure_);
  TStageItem item = std::move(items_.front());
  items_.pop_front();
  changed_.notify_all();
  return item;
}

void TStageBatches::Read() {
  try {
    TCardLines lines(lines_, clock_);
    std::vector<std::string> names, values;
    std::vector<TBoundType> types;
    TStageItem batch;
    batch.kind = TStageItem::ikCards;
    size_t batchRows = 0;
    const auto flush = [&] {
      if (batch.lines.empty()) return true;
      TStageItem full;
      std::swap(full, batch);
      batch.kind = TStageItem::ikCards;
      return Push(std::move(full));
    };
    while (lines.Next()) {
      const TLineKind kind = lines.Kind();
      if (kind == lkGroup || kind == lkCard) {
        std::string error;
        if (kind == lkGroup || !CardRowValues(lines.Entries(), names, types, values, error)) {
          TStageItem single;
          single.kind = kind == lkGroup ? TStageItem::ikGroup : TStageItem::ikRefused;
          single.lines.push_back(lines.Number());
          single.texts.push_back(lines.Text());
          single.entries = lines.Entries();
          single.error = std::move(error);
          if (!flush() || !Push(std::move(single))) return;
          continue;
        }
        // Card rows list their columns in layout order, so the same count is the same list.
        if (!batch.lines.empty() && names.size() != batch.rows.Columns() && !flush()) return;
        if (batch.lines.empty()) {
          batchRows = BoundInsertRows(driverKind_, names.size());
          batch.rows.Reset(names, types);
        }
        batch.rows.AddRow(std::move(values));
        batch.lines.push_back(lines.Number());
        batch.texts.push_back(lines.Text());
        if ((batch.lines.size() >= batchRows || batch.rows.Bytes() >= batchBytes_) && !flush()) {
          return;
        }
      }
    }
    if (flush()) Push(TStageItem{});
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
    changed_.notify_all();
  }
}

}  // namespace fw
