#pragma once
// The story of a pair as one self-contained HTML page: the distance over time with the threshold
// and its band, the events shaded, the spans in which the pair is silenced marked, and every
// change in words. The page holds no script and makes no request.

#include <cstddef>
#include <ostream>
#include <string>

#include "explain/pair_story.hpp"
#include "site/site.hpp"

namespace vela::explain {
// The rows [_first, _last) of _story are the window shown.
void write_story_page(std::ostream& _out, const site& _site, const pair_story& _story,
                      std::size_t _first, std::size_t _last, const std::string& _generator);
}  // namespace vela::explain
