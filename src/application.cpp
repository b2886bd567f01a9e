#include "application.hpp"

#include <iostream>

#include "base/progress.hpp"
#include "exception.hpp"
#include "recording/line_feed.hpp"
#include "replay/replay.hpp"

namespace vela {
application::application(const std::string& _input_position_file_name,
                         const std::string& _trackables_file_name,
                         const std::string& _vda_file_name, std::uint32_t _distance_in_mm,
                         const std::string& _output_event_file_name, bool _save_input_files)
    : m_input_position_file_name(_input_position_file_name),
      m_trackables_file_name(_trackables_file_name),
      m_vda_file_name(_vda_file_name),
      m_distance_in_mm(_distance_in_mm),
      m_output_event_file_name(_output_event_file_name),
      m_save_input_files(_save_input_files),
      m_result(m_site, _output_event_file_name) {}

// ---- Loading ------------------------------------------------------------------------------

exit_code application::init() {
  const input_names names{m_input_position_file_name, m_trackables_file_name, m_vda_file_name};
  // An output that is an input would be overwritten or deleted: refused before anything else.
  if (const exit_code res = refuse_output_among_inputs(
          m_output_event_file_name, {names.positions, names.trackables, names.associations});
      res != exit_code::SYNC_SUCCESS) {
    return res;
  }
  // The inputs are deleted only once the result is delivered (run).
  return load_in_order(*this, names, m_inputs);
}

exit_code application::get_json_message_from_file(const std::string& _file_name,
                                                  Json::Value& _json_message,
                                                  input_file& _read) const {
  return read_json_input(_file_name, _json_message, _read);
}

exit_code application::get_trackable_objects_from_json(const Json::Value& _message) {
  return m_site.load_trackables(_message, m_trackables_file_name);
}

exit_code application::get_vdas_from_json(const Json::Value& _message) {
  return m_site.load_associations(_message, m_vda_file_name);
}

// ---- Replay and delivery ------------------------------------------------------------------

exit_code application::run() {
  m_result.begin(m_inputs.read());
  try {
    generate_alarms();
  } catch (const std::exception& e) {
    m_result.run_abandoned();
    std::cerr << e.what() << std::endl;
    return exit_code::SYNC_FAILURE_UNKNOWN;
  }
  const exit_code delivered = save_event_file();
  if (delivered != exit_code::SYNC_SUCCESS || m_save_input_files) {
    return delivered;  // not delivered, or kept by -s: the inputs stay
  }
  return delete_inputs(m_inputs.read());
}

// The recording flows from its file through the line feed into the replay, and the replay's
// events into the result; this loop is where they meet.
void application::generate_alarms() {
  file_source& positions = m_inputs.positions;
  const bool threaded = line_feed::second_core_available();
  if (threaded) {
    positions.decompress_ahead();
  }
  line_feed feed(positions, positions.buffer_bytes(), m_site, threaded);
  replay detection(m_site, run_rules{m_distance_in_mm});
  progress report(m_input_position_file_name);
  while (const line_batch* batch = feed.next()) {
    report.update(feed.counts().lines_read, positions.bytes_read(), positions.size());
    detection.feed(batch->lines, m_result);
  }
  report.finish();
  if (const std::string why = feed.counts().refusal(m_input_position_file_name); !why.empty()) {
    throw vela::exception(why).set_location(__FILE__, __LINE__);
  }
  detection.finish(m_result);
  positions.close();
}

exit_code application::save_event_file() { return m_result.deliver(); }
}  // namespace vela
