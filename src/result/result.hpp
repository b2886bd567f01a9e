#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/handover.hpp"
#include "base/sha256.hpp"
#include "files/file_output.hpp"
#include "files/input_file.hpp"
#include "globals.hpp"
#include "replay/event_record.hpp"
#include "replay/event_sink.hpp"
#include "result/event_document.hpp"
#include "site/site.hpp"

namespace vela {
// The result of a run and what follows its delivery.
//
// With an output file name that is, or will be, a regular file, the event document streams into
// the temporary file while the replay finishes events, and only the events still waiting for an
// earlier one stay in memory; deliver() adds the trackable objects and replaces the file. Standard
// output, and a device or fifo as output, get their bytes only once the replay has succeeded:
// until then the events are kept, in the replay's compact form. Where a second core is free, the
// bytes go to the temporary file on a thread of their own, so that the replay goes on while the
// system copies them.
class result : public event_sink {
 public:
  // Three inputs: positions, trackables, associations, as they were read.
  using inputs = std::array<const input_file*, 3>;

  result(const site& _site, const std::string& _output_file_name);
  result(const result&) = delete;
  result& operator=(const result&) = delete;
  ~result() override { stop_writing(); }

  // Before the replay. A failure to open the output (an input is its temporary file, another run
  // holds it, the folder is missing) is remembered and reported by deliver().
  void begin(const inputs& _inputs);
  // One event to write, in creation order.
  void event_final(const event_record& _event) override;
  // After a successful replay: completes and delivers the result. Throws vela::exception with
  // the reason when it cannot be delivered (the inputs must then stay).
  void run_committed() override;
  // After a failed replay: nothing is delivered and the temporary file goes.
  void run_abandoned() override;
  // run_committed(), reported: SYNC_SUCCESS, or SYNC_FAILURE_WRITING_OUTPUT_FILE after one line
  // on standard error.
  exit_code deliver();

  // For a result whose name is known only from its content: run_committed() in two steps. The
  // document is completed and made durable in its temporary file; then put in place under
  // _file_name, in the folder of the name it was begun with. Throws as run_committed() does.
  void complete();
  void place_as(const std::string& _file_name);
  // The SHA-256 of the bytes written to the file, once complete; only for a result made with
  // hashed().
  sha256::digest digest();
  // The bytes written are hashed as they go; before begin().
  void hashed() { m_digest = std::make_unique<sha256>(); }

 private:
  bool streams() const { return m_output.is_open() && !m_output.is_direct(); }
  void write_event(const event_record& _event);
  void write_objects();
  void flush_if_full();
  void flush();
  // The writing thread: each piece handed over, hashed and written in turn.
  void write_ahead();
  // Hands over the end, waits for the writing thread and takes its failure, if any.
  void stop_writing();
  void deliver_to_standard_output();
  void deliver_to_file();

  const site& m_site;
  const std::string m_output_file_name;  // empty: standard output
  event_document m_document;
  std::string m_buffer;  // document text not yet written
  output_file m_output;
  std::unique_ptr<sha256> m_digest;  // of the bytes written, when asked for
  std::string m_failure;             // the first failure of the output, reported on delivery
  std::vector<event_record> m_kept;  // events waiting for an output that takes them only at the end
  std::unique_ptr<handover<std::string>> m_pieces;  // to the writing thread, if there is one
  std::thread m_writer;
  std::string m_writer_failure;  // its first failure, read once it has ended
};

// Before anything is read: an output that is one of the inputs (_input_names: positions,
// trackables, associations) would be overwritten by the result, or deleted with the inputs.
// SYNC_SUCCESS, or SYNC_FAILURE_WRITING_OUTPUT_FILE after one line on standard error.
exit_code refuse_output_among_inputs(const std::string& _output_file_name,
                                     const std::array<std::string, 3>& _input_names);

// Deletes the three inputs once the result is delivered, every one attempted: the position file
// first, then the trackables file, then the association file. SYNC_SUCCESS, or
// SYNC_FAILURE_UNKNOWN after one line on standard error per input that was left in place for a
// reason or could not be deleted.
exit_code delete_inputs(const result::inputs& _inputs);
}  // namespace vela
