// The trackables loader on arbitrary bytes, through init() as a run reads the file. Any status
// of init is fine; a crash, a sanitizer report or an escaping exception is a finding. A
// document that loads is also replayed (an empty recording, one association) and written out.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "application.hpp"
#include "fuzz_support.hpp"

namespace {
// Applied at the end of the replay when the fuzzed document names both objects.
constexpr char associations_json[] = R"({"vehicle_driver_associations": [
  {"vehicle_uid": "V1", "driver_uid": "P1", "created_at": 100, "removed_at": 200},
  {"vehicle_uid": "V1", "driver_uid": "", "created_at": 150}
]})";

using vela::fuzz::files;

// Every object is found under its own uid, ids in ascending byte order of the uids, and the
// no-alarm lists name objects of the site, ascending.
void check_table(const vela::application& _app) {
  const vela::site& site = _app.loaded_site();
  for (vela::object_id id = 0; id < site.size(); ++id) {
    const vela::site_object& object = site.object(id);
    if (site.find(object.uid) != id || (id > 0 && !(site.object(id - 1).uid < object.uid))) {
      vela::fuzz::finding("an object is not found under its own uid in uid order");
    }
    if (!std::is_sorted(object.no_alarm.begin(), object.no_alarm.end()) ||
        (!object.no_alarm.empty() && object.no_alarm.back() >= site.size())) {
      vela::fuzz::finding("a no-alarm list names no object of the site");
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vela::fuzz::silence_standard_error();
  vela::fuzz::write_file(files().positions, "");
  vela::fuzz::write_file(files().associations, associations_json);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
  vela::fuzz::load_and_run(files().trackables,
                           std::string_view(reinterpret_cast<const char*>(_data), _size),
                           check_table);
  return 0;
}
