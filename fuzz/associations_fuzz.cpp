// The association loader on arbitrary bytes, through init() as a run reads the file. Any status
// of init is fine; a crash, a sanitizer report or an escaping exception is a finding. A table
// that loads must be sorted and complete, and is replayed at the end of an empty recording.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "application.hpp"
#include "fuzz_support.hpp"

namespace {
// Uids that are prefixes of each other, the empty uid, and one object that is passed over.
constexpr char trackables_json[] = R"({"trackableObjects": [
  {"uid": "", "name": "no uid", "category": "VEHICLE"},
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "P10", "name": "Ben", "category": "PERSON"},
  {"uid": "V1", "name": "Forklift", "category": "VEHICLE"},
  {"uid": "V10", "name": "Truck", "category": "VEHICLE", "t2t_no_alarm_uid": ["P1"]},
  {"uid": "C1", "name": "Crane", "category": "CRANE"}
]})";

using vela::fuzz::files;

// Two records per association kept, both uids known, in ascending order of time.
void check_table(const vela::application& _app) {
  const std::vector<vela::association_record>& vdas = _app.loaded_site().associations();
  if (vdas.size() % 2 != 0) {
    vela::fuzz::finding("an odd number of association records");
  }
  std::size_t starts = 0;
  for (std::size_t i = 0; i < vdas.size(); ++i) {
    if (i > 0 && vdas[i].timestamp < vdas[i - 1].timestamp) {
      vela::fuzz::finding("association records out of order");
    }
    if (vdas[i].vehicle >= _app.loaded_site().size() ||
        vdas[i].driver >= _app.loaded_site().size()) {
      vela::fuzz::finding("an association record names an unknown object");
    }
    if (vdas[i].timestamp.ms != 0) {
      vela::fuzz::finding("an association record with milliseconds");
    }
    starts += vdas[i].created ? 1 : 0;
  }
  if (2 * starts != vdas.size()) {
    vela::fuzz::finding("start and end records do not pair up");
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vela::fuzz::silence_standard_error();
  vela::fuzz::write_file(files().positions, "");
  vela::fuzz::write_file(files().trackables, trackables_json);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
  vela::fuzz::load_and_run(files().associations,
                           std::string_view(reinterpret_cast<const char*>(_data), _size),
                           check_table);
  return 0;
}
