#include "site/loading.hpp"

#include <iostream>

namespace vela {
exit_code open_position_file(const std::string& _file_name, line_reader& _positions) {
  std::string error;
  if (!_positions.open(_file_name, error)) {
    std::cerr << error << std::endl;
    return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}
}  // namespace vela
