// What the stager and the future-card pass read from the intake that owns them, for as long
// as it lives: the stop flag and the way they work.
#pragma once

#include <atomic>

namespace fw {

struct TIntakeRun {
  // Set by a stop request; staging checks it between rows and the pass between records, and
  // both end there leaving only whole transactions behind.
  const std::atomic<bool>* stop = nullptr;
  // Batches, or one statement per line and per record; the outcome is the same.
  bool batched = true;

  bool StopRequested() const { return stop != nullptr && stop->load(); }
};

// FENWOLD_INTAKE=per-row makes staging and the pass run one statement per line and per record,
// as the batched paths do when a batch fails; anything else (or unset) batches.
bool IntakeBatchedFromEnv();

}  // namespace fw
