#pragma once

#include "replay/event_record.hpp"

namespace vela {
// Where the events of a run go: the result document, or a store of results beside it. The replay
// hands over each event once it is final, in creation order; whoever runs the replay then
// commits the run, or abandons it when the replay failed.
class event_sink {
 public:
  virtual ~event_sink() = default;
  virtual void event_final(const event_record& _event) = 0;
  // Every event has been handed over: make them last. Throws when they cannot be kept.
  virtual void run_committed() = 0;
  // The run failed: keep nothing of it.
  virtual void run_abandoned() = 0;
};
}  // namespace vela
