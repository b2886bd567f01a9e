#include "application.hpp"

#include <iostream>

#include "progress.hpp"
#include "replay.hpp"

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
      m_save_input_files(_save_input_files) {}

// ---- Loading ------------------------------------------------------------------------------

exit_code application::init() {
  if (const exit_code res = refuse_output_among_inputs(
          m_output_event_file_name,
          {m_input_position_file_name, m_trackables_file_name, m_vda_file_name});
      res != exit_code::SYNC_SUCCESS) {
    return res;
  }
  {
    Json::Value trackables;
    exit_code res =
        get_json_message_from_file(m_trackables_file_name, trackables, m_trackables_input);
    if (res == exit_code::SYNC_SUCCESS) {
      res = get_trackable_objects_from_json(trackables);
    }
    if (res != exit_code::SYNC_SUCCESS) {
      return res;
    }
  }
  std::string error;
  if (!m_input_position_file.open(m_input_position_file_name, error)) {
    std::cerr << error << std::endl;
    return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
  }
  Json::Value vdas;
  exit_code res = get_json_message_from_file(m_vda_file_name, vdas, m_vdas_input);
  if (res == exit_code::SYNC_SUCCESS) {
    res = get_vdas_from_json(vdas);
  }
  // The inputs are deleted only once the result is delivered (run).
  return res;
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
  m_result.emplace(m_site, m_output_event_file_name);
  m_result->begin(inputs());
  try {
    generate_alarms();
  } catch (const std::exception& e) {
    m_result->abandon();
    std::cerr << e.what() << std::endl;
    return exit_code::SYNC_FAILURE_UNKNOWN;
  }
  const exit_code delivered =
      m_output_event_file_name.empty() ? write_events_to_standard_output() : save_event_file();
  if (delivered != exit_code::SYNC_SUCCESS || m_save_input_files) {
    return delivered;  // not delivered, or kept by -s: the inputs stay
  }
  return delete_inputs(inputs(), m_output_event_file_name);
}

void application::generate_alarms() {
  if (!m_result) {  // called without run(): the result is made here
    m_result.emplace(m_site, m_output_event_file_name);
    m_result->begin(inputs());
  }
  replay detection(m_site, m_distance_in_mm);
  progress report(m_input_position_file_name);
  detection.run(m_input_position_file, report,
                [this](const event_record& _event) { m_result->add(_event); });
  m_input_position_file.close();
}

exit_code application::save_event_file() { return m_result->deliver(); }

exit_code application::write_events_to_standard_output() { return m_result->deliver(); }

result::inputs application::inputs() const {
  return {&m_input_position_file.source(), &m_trackables_input, &m_vdas_input};
}
}  // namespace vela
