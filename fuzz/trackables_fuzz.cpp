// The trackables loader on arbitrary bytes, through init() as a run reads the file. Any status
// of init is fine; a crash, a sanitizer report or an escaping exception is a finding. A
// document that loads is also replayed (an empty recording, one association) and written out.

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

// Every object is filed under its own uid.
void check_table(const vela::application& _app) {
  for (const auto& [uid, object] : _app.track_objs()) {
    if (object.uid != uid) {
      vela::fuzz::finding("an object is filed under another uid");
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
