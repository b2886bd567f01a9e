#pragma once
// The site's own plan under vela-report's floor plot: a PNG, JPEG or SVG image, told by its
// first bytes rather than its name, embedded in the page as a data address so that the page
// stays self-contained. The page draws it as an image, where a browser runs no script of an SVG
// and fetches nothing it names.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vela::report {
// A plan that cannot be used; the message is one line without the file's name.
class plan_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct plan_bounds {
  double x_min = 0;  // site metres of the image's left, bottom, right and top edges
  double y_min = 0;
  double x_max = 0;
  double y_max = 0;
};

struct floor_plan {
  std::string media_type;  // "image/png", "image/jpeg" or "image/svg+xml"
  std::string format;      // "PNG", "JPEG" or "SVG"
  std::string base64;
  plan_bounds bounds;
};

// "XMIN,YMIN,XMAX,YMAX" in metres, each minimum below its maximum; none when it is not that.
bool parse_plan_bounds(std::string_view _text, plan_bounds& _bounds);

// Throws plan_error: the file cannot be read, is empty, too large for a page, or not one of
// the three formats.
floor_plan read_floor_plan(const std::string& _path, const plan_bounds& _bounds);

// The format of an image by its first bytes: "PNG", "JPEG", "SVG", or empty for none of them.
std::string image_format(std::string_view _bytes);

std::string base64(std::string_view _bytes);
}  // namespace vela::report
