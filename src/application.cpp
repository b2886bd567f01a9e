#include "application.hpp"

#include <iostream>

#include "base/progress.hpp"
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
    m_result.abandon();
    std::cerr << e.what() << std::endl;
    return exit_code::SYNC_FAILURE_UNKNOWN;
  }
  const exit_code delivered =
      m_output_event_file_name.empty() ? m_result.deliver() : save_event_file();
  if (delivered != exit_code::SYNC_SUCCESS || m_save_input_files) {
    return delivered;  // not delivered, or kept by -s: the inputs stay
  }
  return delete_inputs(m_inputs.read());
}

void application::generate_alarms() {
  replay detection(m_site, m_distance_in_mm);
  progress report(m_input_position_file_name);
  detection.run(m_inputs.positions, report,
                [this](const event_record& _event) { m_result.add(_event); });
  m_inputs.positions.close();
}

exit_code application::save_event_file() { return m_result.deliver(); }
}  // namespace vela
