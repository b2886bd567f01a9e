#pragma once

#include <string>
#include <string_view>

namespace vela {
// Writes all of _data to the descriptor, retrying short writes. Throws vela::exception with a
// description that starts with _what on failure (a full disk, a closed pipe, a size limit).
void write_all(int _fd, std::string_view _data, const std::string& _what);

// Replaces _file_name by a file holding _content, durably: the content goes to _file_name plus
// ".tmp", which is synced, renamed over _file_name, and the folder synced, so that a reader
// never sees a partial document under the name, even after a crash. A stale temporary file is
// replaced, never written through (it may be a link). Throws on failure; an existing
// _file_name keeps its content then, and the temporary file may be left behind.
void replace_file_durably(const std::string& _file_name, std::string_view _content);
}  // namespace vela
