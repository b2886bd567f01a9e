#pragma once

#include <array>
#include <string>

#include <json/json.h>

#include "files/input_file.hpp"
#include "files/file_source.hpp"
#include "globals.hpp"
#include "site/site.hpp"

namespace vela {
// The names of a run's three inputs, as the command line gives them.
struct input_names {
  std::string positions;
  std::string trackables;
  std::string associations;
};

// The three inputs as loading leaves them: the position file open at its first line, and which
// file each JSON input was.
struct loaded_files {
  file_source positions;
  input_file trackables;
  input_file associations;

  // In the order the inputs are deleted: positions, trackables, associations.
  std::array<const input_file*, 3> read() const {
    return {&positions.record(), &trackables, &associations};
  }
};

// Opens the position file, standard input for "-" when _dash_is_standard_input. SYNC_SUCCESS, or
// SYNC_FAILURE_OPENING_INPUT_FILE after one line on standard error: the name and the reason, with
// no prefix of its own.
exit_code open_position_file(const std::string& _file_name, file_source& _positions,
                             bool _dash_is_standard_input = false);

// Loads a run's inputs in the order every run loads them, and ends at the first step that
// fails, with its status: the trackables file read and its objects built, the position file
// opened, the association file read and its records built. _loader does the JSON steps under
// their names: a run passes itself, the tools a plain_loading.
template <class Loader>
exit_code load_in_order(Loader& _loader, const input_names& _names, loaded_files& _files) {
  {
    Json::Value trackables;
    exit_code res = _loader.get_json_message_from_file(_names.trackables, trackables,
                                                       _files.trackables);
    if (res == exit_code::SYNC_SUCCESS) {
      res = _loader.get_trackable_objects_from_json(trackables);
    }
    if (res != exit_code::SYNC_SUCCESS) {
      return res;
    }
  }
  // vela opens every name as a file; a companion reads "-" as standard input.
  constexpr bool dash_is_standard_input = requires { Loader::dash_is_standard_input; };
  if (const exit_code res =
          open_position_file(_names.positions, _files.positions, dash_is_standard_input);
      res != exit_code::SYNC_SUCCESS) {
    return res;
  }
  Json::Value associations;
  exit_code res =
      _loader.get_json_message_from_file(_names.associations, associations, _files.associations);
  if (res == exit_code::SYNC_SUCCESS) {
    res = _loader.get_vdas_from_json(associations);
  }
  return res;
}

// The JSON steps as a run does them, into a site, for the tools that load a run's inputs; the
// two documents are kept for a closer look.
class plain_loading {
 public:
  plain_loading(site& _site, const input_names& _names) : m_site(_site), m_names(_names) {}

  static constexpr bool dash_is_standard_input = true;

  exit_code get_json_message_from_file(const std::string& _file_name, Json::Value& _json_message,
                                       input_file& _read) const {
    return read_json_input(_file_name, _json_message, _read);
  }
  exit_code get_trackable_objects_from_json(const Json::Value& _message) {
    trackables_document = _message;
    return m_site.load_trackables(_message, m_names.trackables);
  }
  exit_code get_vdas_from_json(const Json::Value& _message) {
    associations_document = _message;
    return m_site.load_associations(_message, m_names.associations);
  }

  Json::Value trackables_document;
  Json::Value associations_document;

 private:
  site& m_site;
  const input_names& m_names;
};
}  // namespace vela
