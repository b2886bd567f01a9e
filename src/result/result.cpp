#include "result/result.hpp"

#include <unistd.h>

#include <iostream>

#include "base/interruption.hpp"
#include "exception.hpp"

namespace vela {
namespace {
// Written out in pieces of about this: small enough that the pieces in flight to the writing
// thread take little memory, large enough that a write costs nothing beside its bytes.
constexpr std::size_t flush_bytes = std::size_t{1} << 18;
constexpr std::size_t pieces_in_flight = 4;

document_party party_of(const site& _site, const event_record& _event, int _side) {
  document_party party;
  party.uid = _site.object(_event.objects[_side]).uid;
  party.x = _event.x[_side];
  party.y = _event.y[_side];
  party.has_driver = _event.drivers[_side] != no_object;
  if (party.has_driver) {
    party.driver_uid = _site.object(_event.drivers[_side]).uid;
  }
  return party;
}

// Replacing a stale temporary file that is in fact an input would lose that input.
void refuse_input_as_temporary(const result::inputs& _inputs, const std::string& _file_name) {
  const std::string temporary = temporary_name_of(_file_name);
  for (const input_file* input : _inputs) {
    if (input->is_at(temporary)) {
      throw vela::exception(temporary + ": an input of this run").set_location(__FILE__, __LINE__);
    }
  }
}
}  // namespace

result::result(const site& _site, const std::string& _output_file_name)
    : m_site(_site),
      m_output_file_name(_output_file_name),
      m_document(_output_file_name.empty() ? document_form::standard_output : document_form::file) {
}

void result::begin(const inputs& _inputs) {
  if (m_output_file_name.empty()) {
    return;
  }
  try {
    refuse_input_as_temporary(_inputs, m_output_file_name);
    // A device or fifo is opened only once there is a result: a fifo's reader waits for it.
    if (!is_written_directly(m_output_file_name)) {
      m_output.open(m_output_file_name);
      m_buffer.reserve(flush_bytes + flush_bytes / 4);
      if (second_core_available()) {
        m_pieces = std::make_unique<handover<std::string>>(pieces_in_flight);
        m_writer = interruption::start_thread([this] { write_ahead(); });
      }
    }
  } catch (const std::exception& e) {
    m_failure = e.what();
  }
}

void result::event_final(const event_record& _event) {
  if (!m_failure.empty()) {
    return;  // nothing will be delivered: the failure is reported at the end
  }
  if (streams()) {
    write_event(_event);
    flush_if_full();
  } else {
    m_kept.push_back(_event);
  }
}

void result::write_event(const event_record& _event) {
  document_event event;
  event.ts = _event.timestamp.ts;
  event.ms = _event.timestamp.ms;
  event.duration = _event.duration;
  event.distance = _event.distance;
  event.parties[0] = party_of(m_site, _event, 0);
  event.parties[1] = party_of(m_site, _event, 1);
  m_document.add_event(m_buffer, event);
}

void result::write_objects() {
  for (const site_object& obj : m_site.objects()) {
    m_document.add_object(m_buffer, {obj.uid, obj.name, obj.category == category::vehicle});
    flush_if_full();
  }
}

void result::flush_if_full() {
  if (m_buffer.size() >= flush_bytes) {
    flush();
  }
}

void result::flush() {
  if (m_writer.joinable()) {
    std::string* piece = m_pieces->take_free();  // the thread gives every piece back
    piece->swap(m_buffer);
    m_pieces->hand_over(piece, false);
    m_buffer.clear();
    return;
  }
  if (m_failure.empty()) {
    try {
      if (m_digest) {
        m_digest->update(m_buffer);
      }
      m_output.write(m_buffer);
    } catch (const std::exception& e) {
      m_failure = e.what();
      m_output.abandon();
    }
  }
  m_buffer.clear();
}

// Nothing else touches the output while this thread writes. After a failure the pieces are only
// given back: the run reports it at its end.
void result::write_ahead() {
  while (std::string* piece = m_pieces->take_filled()) {
    if (m_writer_failure.empty()) {
      try {
        if (m_digest) {
          m_digest->update(*piece);
        }
        m_output.write(*piece);
      } catch (const std::exception& e) {
        m_writer_failure = e.what();
      }
    }
    m_pieces->give_back(piece);
  }
}

void result::stop_writing() {
  if (!m_writer.joinable()) {
    return;
  }
  m_pieces->hand_over(nullptr, true);
  m_writer.join();
  if (!m_writer_failure.empty() && m_failure.empty()) {
    m_failure = m_writer_failure;
    m_output.abandon();
  }
}

exit_code result::deliver() {
  try {
    run_committed();
  } catch (const std::exception& e) {
    std::cerr << "Error writing file:" << m_output_file_name << " (" << e.what() << ")"
              << std::endl;
    return exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

void result::run_committed() {
  if (!m_failure.empty()) {
    throw vela::exception(m_failure).set_location(__FILE__, __LINE__);
  }
  if (m_output_file_name.empty()) {
    deliver_to_standard_output();
  } else {
    deliver_to_file();
  }
}

void result::deliver_to_standard_output() {
  std::cout.flush();
  for (const event_record& event : m_kept) {
    write_event(event);
    if (m_buffer.size() >= flush_bytes) {
      write_all(STDOUT_FILENO, m_buffer, "standard output");
      m_buffer.clear();
    }
  }
  m_document.finish(m_buffer);
  write_all(STDOUT_FILENO, m_buffer, "standard output");
  interruption::defer();  // delivered: the run goes on to its end
}

void result::deliver_to_file() {
  complete();
  try {
    m_output.commit();
  } catch (...) {
    m_output.abandon();
    throw;
  }
}

void result::place_as(const std::string& _file_name) {
  try {
    m_output.commit_as(_file_name);
  } catch (...) {
    m_output.abandon();
    throw;
  }
}

sha256::digest result::digest() { return m_digest->final(); }

void result::complete() {
  if (!m_failure.empty()) {
    throw vela::exception(m_failure).set_location(__FILE__, __LINE__);
  }
  try {
    if (!m_output.is_open()) {  // a device or fifo, written directly now
      m_output.open(m_output_file_name);
      for (const event_record& event : m_kept) {
        write_event(event);
        flush_if_full();
      }
      m_kept.clear();
    }
    write_objects();
    m_document.finish(m_buffer);
    flush();
    stop_writing();
    if (!m_failure.empty()) {
      throw vela::exception(m_failure).set_location(__FILE__, __LINE__);
    }
    m_output.sync();
  } catch (...) {
    m_output.abandon();
    throw;
  }
}

void result::run_abandoned() {
  stop_writing();
  m_output.abandon();
  m_kept.clear();
  m_buffer.clear();
}

exit_code refuse_output_among_inputs(const std::string& _output_file_name,
                                     const std::array<std::string, 3>& _input_names) {
  for (const std::string& input : _input_names) {
    if (!_output_file_name.empty() && same_regular_file(_output_file_name, input)) {
      std::cerr << "Error writing file:" << _output_file_name << " (" << _output_file_name
                << ": an input of this run)" << std::endl;
      return exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE;
    }
  }
  return exit_code::SYNC_SUCCESS;
}

exit_code delete_inputs(const result::inputs& _inputs) {
  exit_code res = exit_code::SYNC_SUCCESS;
  for (const input_file* input : _inputs) {
    // A name that no longer leads to the file read (the result renamed over it, say) is kept.
    const std::string failure = delete_input(*input);
    if (!failure.empty()) {
      std::cerr << failure << std::endl;
      res = exit_code::SYNC_FAILURE_UNKNOWN;
    }
  }
  return res;
}
}  // namespace vela
