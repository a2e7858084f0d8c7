#include "intake/stage_batches.h"

#include "db/sql.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

// Batches waiting for the database at most: enough to keep it busy, little memory.
constexpr size_t QueuedItems = 4;

}  // namespace

TBoundSql TStageItem::InsertSql(size_t from, size_t to) const {
  size_t bytes = columns.size() + 40, values = 0;
  for (size_t i = from; i < to; ++i) {
    bytes += rows[i].text.size() + 2;
    values += rows[i].values.size();
  }
  TBoundSql sql;
  if (from < to) sql.driverKind = rows[from].driverKind;
  sql.text.reserve(bytes);
  sql.values.reserve(values);
  sql += "INSERT INTO futurecard (";
  sql += columns;
  sql += ") Values ";
  for (size_t i = from; i < to; ++i) {
    if (i > from) sql += ", ";
    sql += rows[i];
  }
  return sql;
}

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
    size_t columnCount = 0, bytes = 0, markers = 0;
    const auto flush = [&] {
      if (batch.rows.empty()) return true;
      bytes = 0;
      markers = 0;
      TStageItem full;
      std::swap(full, batch);
      batch.kind = TStageItem::ikCards;
      return Push(std::move(full));
    };
    for (size_t i = 0; i < lines_.size(); ++i) {
      fields.SplitLine(lines_[i]);
      const TLineKind kind = reader.Read(fields, entries);
      if (kind == lkGroup || kind == lkCard) {
        std::string error;
        if (kind == lkGroup || !FillCardRow(entries, sql, error)) {
          TStageItem single;
          single.kind = kind == lkGroup ? TStageItem::ikGroup : TStageItem::ikRefused;
          single.lines.push_back(i + 1);
          single.entries = entries;
          single.error = std::move(error);
          if (!flush() || !Push(std::move(single))) return;
          continue;
        }
        // Card rows list their columns in layout order, so the same count is the same list.
        if (!batch.rows.empty() && sql.Count() != columnCount && !flush()) return;
        if (batch.rows.empty()) {
          batch.columns = sql.ColumnListText();
          columnCount = sql.Count();
        }
        batch.rows.push_back(sql.ValuesText());
        batch.lines.push_back(i + 1);
        bytes += batch.rows.back().text.size() + 2;
        markers += batch.rows.back().values.size();
        if ((batch.rows.size() >= batchRows_ || bytes >= batchBytes_ ||
             markers + columnCount > kMaxBoundValues) &&
            !flush()) {
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
