#pragma once
// The parts of vela-report's page kept as files of their own in tools/report/ and built into the
// program: the skeleton (with {{placeholders}}), its stylesheet and its script.

namespace vela::report {
extern const char page_html[];
extern const char page_css[];
extern const char page_js[];
}  // namespace vela::report
