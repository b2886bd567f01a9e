#pragma once
// The replay in-process: position lines and the two JSON tables in, the event document out,
// through the units a run uses (site, replay, result), and through the plain reference.

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "exception.hpp"
#include "files/byte_source.hpp"
#include "files/input_file.hpp"
#include "recording/line_feed.hpp"
#include "reference/reference_replay.hpp"
#include "replay/replay.hpp"
#include "replay_inspection.hpp"
#include "result/result.hpp"
#include "site/site.hpp"
#include "test_support.hpp"

namespace vela::test {
// The three inputs of a replay, as text, and its threshold.
struct replay_inputs {
  std::string positions;
  std::string trackables;
  std::string associations = R"({"vehicle_driver_associations": []})";
  std::uint32_t threshold_mm = 2000;
};

inline Json::Value parse_document(const std::string& _text) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  Json::Value root;
  std::istringstream in(_text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &root, &errors)) << errors;
  return root;
}

// Loads the site of _inputs into _site; the test fails when a table is refused.
inline void load_site(const replay_inputs& _inputs, site& _site) {
  EXPECT_EQ(_site.load_trackables(parse_document(_inputs.trackables), "t.json"),
            exit_code::SYNC_SUCCESS);
  EXPECT_EQ(_site.load_associations(parse_document(_inputs.associations), "a.json"),
            exit_code::SYNC_SUCCESS);
}

// What the replay left in an object.
struct object_left {
  timestamp last_time;
  timestamp first_time;
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// What the fast replay gives: the event document as the result writes it to a file, and what
// the replay left in every object.
struct replay_output {
  std::string document;
  std::vector<object_left> objects;
};

// The lines are fed from memory, in pieces that split them every way. Throws what a run throws
// for a refused recording.
inline replay_output run_replay(const replay_inputs& _inputs) {
  const temp_folder folder;
  site loaded;
  load_site(_inputs, loaded);
  memory_source positions(_inputs.positions, 4093);
  line_feed feed(positions, 1 << 12, loaded, false);
  result delivery(loaded, folder.file("out.json"));
  const input_file none;
  delivery.begin({&none, &none, &none});
  replay detection(loaded, run_rules{_inputs.threshold_mm});
  while (const line_batch* batch = feed.next()) {
    detection.feed(batch->lines, delivery);
  }
  if (const std::string why = feed.counts().refusal("p.csv"); !why.empty()) {
    throw vela::exception(why);
  }
  detection.finish(delivery);
  EXPECT_EQ(delivery.deliver(), exit_code::SYNC_SUCCESS);
  replay_output output{folder.read("out.json"), {}};
  for (object_id id = 0; id < loaded.size(); ++id) {
    const auto [x, y] = replay_inspection::position(detection, id);
    output.objects.push_back({replay_inspection::last_time(detection, id),
                              replay_inspection::first_time(detection, id), x, y});
  }
  return output;
}

// The same document from the plain reference.
inline std::string run_reference(const replay_inputs& _inputs) {
  site loaded;
  load_site(_inputs, loaded);
  reference_replay reference(loaded, _inputs.threshold_mm);
  std::istringstream positions(_inputs.positions);
  reference.generate_alarms(positions, "p.csv");
  return reference.document(true);
}

// The events of a document as "first uid/second uid/distance", in order.
inline std::vector<std::string> summarize(const std::string& _document) {
  std::vector<std::string> summary;
  for (const Json::Value& ev : parse_document(_document)["events"]) {
    summary.push_back(ev["trackables"][0]["uid"].asString() + "/" +
                      ev["trackables"][1]["uid"].asString() + "/" +
                      std::to_string(ev["distance"].asInt64()));
  }
  return summary;
}
}  // namespace vela::test
