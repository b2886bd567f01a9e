#pragma once

#include <ostream>
#include <string>

#include "timestamp.hpp"

namespace vela {
// One start or end record of a vehicle-driver association; times in whole seconds (ms 0).
struct vehicle_driver_association {
  vela::timestamp timestamp;
  std::string vehicle_uid;
  std::string driver_uid;
  bool created = false;  // true: the association starts; false: it ends
};

// Diagnostic printer: "ts:ms V:vehicle D:driver Created:true", no line end. Leaves the stream in
// word mode for booleans.
std::ostream& operator<<(std::ostream& _os, const vehicle_driver_association& _vda);
}  // namespace vela
