#include "site/loading.hpp"

#include <unistd.h>

#include <iostream>

namespace vela {
exit_code open_position_file(const std::string& _file_name, file_source& _positions,
                             bool _dash_is_standard_input) {
  std::string error;
  const bool opened = _dash_is_standard_input && _file_name == "-"
                          ? _positions.open_descriptor(STDIN_FILENO, _file_name, error)
                          : _positions.open(_file_name, error);
  if (!opened) {
    std::cerr << error << std::endl;
    return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}
}  // namespace vela
