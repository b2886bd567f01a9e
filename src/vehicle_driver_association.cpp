#include "vehicle_driver_association.hpp"

namespace vela {
std::ostream& operator<<(std::ostream& _os, const vehicle_driver_association& _vda) {
  return _os << _vda.timestamp.ts << ':' << _vda.timestamp.ms << " V:" << _vda.vehicle_uid
             << " D:" << _vda.driver_uid << " Created:" << std::boolalpha << _vda.created;
}
}  // namespace vela
