#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

#include "files/input_file.hpp"
#include "globals.hpp"
#include "result/result.hpp"
#include "site/loading.hpp"
#include "site/site.hpp"

namespace vela {
// One run, in the order it happens: init() loads the site and opens the position file; run()
// replays the positions, delivers the result and then, unless -s, deletes the three inputs. It
// hands the work over to three units and holds only what passes between them:
//   site    the trackable objects and the associations (site/),
//   replay  the detection pass over the position file (replay/),
//   result  the event document, its durable delivery and the deletion of the inputs (result/).
class application {
 public:
  application(const std::string& _input_position_file_name,
              const std::string& _trackables_file_name, const std::string& _vda_file_name,
              std::uint32_t _distance_in_mm, const std::string& _output_event_file_name,
              bool _save_input_files);

  // Reads the trackables and association files and opens the position file.
  // SYNC_SUCCESS, or 2 (cannot open), 3 (cannot parse) or 4 (the output is an input) after one
  // line on standard error.
  exit_code init();
  // Replays the positions, delivers the events (file or standard output) and then, unless -s,
  // deletes the three inputs. 0; 1 when the replay or a deletion failed; 4 when the result
  // could not be delivered (the inputs are kept then).
  exit_code run();

  // The replay of the position file, feeding the result. Throws on failures (a read error, a
  // refused recording).
  void generate_alarms();
  // Delivers the event document to the output file. 0, or 4 after one line on standard error.
  exit_code save_event_file();

  // The site as loaded, for tools and tests.
  const vela::site& loaded_site() const { return m_site; }

  // The steps of loading (load_in_order): one JSON input read and parsed, _read recording which
  // file it was; the objects and the associations built from their documents.
  exit_code get_json_message_from_file(const std::string& _file_name, Json::Value& _json_message,
                                       input_file& _read) const;
  exit_code get_trackable_objects_from_json(const Json::Value& _message);
  exit_code get_vdas_from_json(const Json::Value& _message);

 private:
  const std::string m_input_position_file_name;
  const std::string m_trackables_file_name;
  const std::string m_vda_file_name;
  const std::uint32_t m_distance_in_mm;
  const std::string m_output_event_file_name;
  const bool m_save_input_files;
  loaded_files m_inputs;  // the position file open for the replay, and which file each input was
  vela::site m_site;
  result m_result;
};
}  // namespace vela
