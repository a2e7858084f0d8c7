#include "intake/stage_batches.h"

#include "db/sql.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

// Batches waiting for the database at most: enough to keep it busy, little memory.
constexpr size_t QueuedItems = 4;

}  // namespace

TStageBatches::TStageBatches(const std::vector<std::string>& lines, TDriverKind driverKind,
                             const TClock& clock, size_t batchRows, size_t batchBytes)
    : lines_(lines),
      driverKind_(driverKind),
      clock_(clock),
      batchRows_(batchRows),
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
    TStringListSDF fields;
    std::vector<TColumnEntry> entries;
    TSql sql(driverKind_);
    TCardLineReader reader(clock_);
    TStageItem batch;
    batch.kind = TStageItem::ikCards;
    size_t rows = 0, columnCount = 0;
    const auto flush = [&] {
      if (rows == 0) return true;
      rows = 0;
      TStageItem full;
      std::swap(full, batch);
      batch.kind = TStageItem::ikCards;
      return Push(std::move(full));
    };
    for (const std::string& line : lines_) {
      fields.SplitLine(line);
      const TLineKind kind = reader.Read(fields, entries);
      if (kind == lkGroup) {
        TStageItem group;
        group.kind = TStageItem::ikGroup;
        group.entries = entries;
        if (!flush() || !Push(std::move(group))) return;
      } else if (kind == lkCard) {
        std::string error;
        if (!FillCardRow(entries, sql, error)) {
          TStageItem refused;
          refused.kind = TStageItem::ikRefused;
          if (flush()) Push(std::move(refused));
          return;  // the file goes line by line from here
        }
        // Card rows list their columns in layout order, so the same count is the same list.
        if (rows > 0 && sql.Count() != columnCount && !flush()) return;
        if (rows == 0) {
          batch.columns = sql.ColumnListText();
          columnCount = sql.Count();
        } else {
          batch.values += ", ";
        }
        batch.values += sql.ValuesText();
        ++rows;
        if ((rows >= batchRows_ || batch.values.size() >= batchBytes_) && !flush()) return;
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
