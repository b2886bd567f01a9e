#include "report/report_page.hpp"

// Each event becomes one value in each of nine columns: start (ms, the difference from the
// previous event's start), duration (s), distance (mm), the two objects (indices into the uids
// listed at the end), the sums of their x and of their y (mm: twice the midpoint) and their
// drivers (index + 1, 0 for none). Columns are strings of variable-length digits, 5 bits each,
// low digit first, a digit of 32 or more meaning that more follow; signed columns are zigzag
// coded. With zones a tenth column holds the index of the set of zones the event's mark lies
// in, the sets listed at the end (most sites have a few, whatever the number of events). The
// last column holds the index of the result the event came from. The page's script
// (tools/report/page.js) reads them back.
//
// After the events of a result document, its trackable objects: the uid indices, names and
// categories it lists. A uid may carry another name or category in another result (a tag given
// to another object, the same uids at another site): each event is shown with its own
// result's, so they go per result and per object, not per event.

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "common/web_text.hpp"
#include "report/report_assets.hpp"

namespace vela::report {
namespace {
constexpr std::size_t chunk_events = 8192;
constexpr std::size_t column_count = 10;  // without zones: nine, then the result's index
constexpr std::int64_t day_ms = 86'400'000;
constexpr const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// The page holds numbers as doubles: these keep every value and sum below 2^51, and every
// time inside the range of the browser's dates.
constexpr std::int64_t time_limit_s = 1'000'000'000'000;
constexpr std::int64_t length_limit_mm = 1'000'000'000'000'000;

void put_unsigned(std::string& _column, std::uint64_t _value) {
  while (_value >= 32) {
    _column += digits[32 + (_value & 31)];
    _value >>= 5;
  }
  _column += digits[_value];
}

void put_signed(std::string& _column, std::int64_t _value) {
  // Zigzag: 0, -1, 1, -2 ... become 0, 1, 2, 3 ... (unsigned, so the shift cannot overflow).
  const auto bits = static_cast<std::uint64_t>(_value);
  put_unsigned(_column, (bits << 1) ^ (_value < 0 ? ~std::uint64_t{0} : std::uint64_t{0}));
}

void check_range(std::int64_t _value, std::int64_t _limit, const results::event& _event,
                 const char* _field) {
  if (_value < -_limit || _value > _limit) {
    throw std::runtime_error("event " + std::to_string(_event.number) + ": \"" + _field +
                             "\" is beyond what the page can show");
  }
}

// _template with each "{{name}}" replaced by its value, in one pass: values are never searched.
std::string fill(std::string_view _template,
                 const std::vector<std::pair<std::string_view, std::string>>& _values) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t open = _template.find("{{"); open != std::string_view::npos;
       open = _template.find("{{", at)) {
    const std::size_t close = _template.find("}}", open);
    if (close == std::string_view::npos) {
      break;
    }
    const std::string_view name = _template.substr(open + 2, close - open - 2);
    out.append(_template, at, open - at);
    at = close + 2;
    bool known = false;
    for (const auto& [key, value] : _values) {
      if (key == name) {
        out += value;
        known = true;
      }
    }
    if (!known) {
      out.append(_template, open, at - open);
    }
  }
  out.append(_template, at);
  return out;
}

std::string json_number(double _value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, _value);
  return error == std::errc() ? std::string(text, end) : std::string("0");
}

template <typename T>
std::string json_optional(const boost::optional<T>& _value) {
  return _value ? std::to_string(*_value) : std::string("null");
}

// The zones as the page draws them: names and rings, in metres. Written straight to the page:
// a zone may have a million corners.
void put_zones(std::ostream& _out, const tools::zone_map& _zones) {
  _out << "[";
  for (std::size_t z = 0; z < _zones.zones().size(); ++z) {
    const tools::zone& zone = _zones.zones()[z];
    _out << (z == 0 ? "{\"name\":" : ",{\"name\":") << tools::script_json_string(zone.name)
         << ",\"polygons\":[";
    for (std::size_t p = 0; p < zone.polygons.size(); ++p) {
      _out << (p == 0 ? "[" : ",[");
      for (std::size_t r = 0; r < zone.polygons[p].size(); ++r) {
        _out << (r == 0 ? "[" : ",[");
        const auto& ring = zone.polygons[p][r];
        for (std::size_t k = 0; k < ring.size(); ++k) {
          _out << (k == 0 ? "[" : ",[") << tools::half_mm_as_metres(ring[k].x) << ','
               << tools::half_mm_as_metres(ring[k].y) << ']';
        }
        _out << "]";
      }
      _out << "]";
    }
    _out << "]}";
  }
  _out << "]";
}

std::string json_list(const std::vector<std::string>& _texts) {
  std::string list = "[";
  for (std::size_t i = 0; i < _texts.size(); ++i) {
    list += i == 0 ? "" : ",";
    list += tools::script_json_string(_texts[i]);
  }
  return list + "]";
}
}  // namespace

page_writer::page_writer(std::ostream& _out, page_options _options)
    : m_out(_out),
      m_options(std::move(_options)),
      m_columns(column_count + (m_options.zones != nullptr ? 1 : 0)) {
  m_zone_sets[{}] = 0;
  m_out << fill(page_html, {{"style", page_css},
                            {"generator", tools::html_text(m_options.generator)},
                            {"source", tools::html_text(m_options.source)},
                            {"title", tools::html_text(m_options.title)}})
        << "<script type=\"application/json\" id=\"vela-meta\">{\"title\":"
        << tools::script_json_string(m_options.title)
        << ",\"source\":" << tools::script_json_string(m_options.source)
        << ",\"generator\":" << tools::script_json_string(m_options.generator)
        << ",\"thresholdMm\":" << json_optional(m_options.threshold_mm) << ",\"zones\":";
  if (m_options.zones != nullptr) {
    put_zones(m_out, *m_options.zones);
  } else {
    m_out << "null";
  }
  m_out << ",\"plan\":";
  if (m_options.plan != nullptr) {
    const plan_bounds& bounds = m_options.plan->bounds;
    m_out << "{\"format\":" << tools::script_json_string(m_options.plan->format) << ",\"bounds\":["
          << json_number(bounds.x_min) << "," << json_number(bounds.y_min) << ","
          << json_number(bounds.x_max) << "," << json_number(bounds.y_max) << "]}";
  } else {
    m_out << "null";
  }
  m_out << "}</script>\n";
  if (m_options.plan != nullptr) {
    // Base64 holds nothing that could end the script element.
    m_out << "<script type=\"application/json\" id=\"vela-plan\">\"data:"
          << m_options.plan->media_type << ";base64," << m_options.plan->base64 << "\"</script>\n";
  }
}

void page_writer::add_event(const results::event& _event) {
  check_range(_event.ts, time_limit_s, _event, "ts");
  check_range(_event.ms, time_limit_s, _event, "ms");
  check_range(_event.duration_s, time_limit_s, _event, "duration");
  check_range(_event.distance_mm, length_limit_mm, _event, "distance");
  for (const results::event_object& object : _event.objects) {
    check_range(object.x_mm, length_limit_mm, _event, "x");
    check_range(object.y_mm, length_limit_mm, _event, "y");
  }
  const std::int64_t start_ms = _event.ts * 1000 + _event.ms;
  put_signed(m_columns[0], start_ms - m_previous_start_ms);
  m_previous_start_ms = start_ms;
  put_signed(m_columns[1], _event.duration_s);
  put_signed(m_columns[2], _event.distance_mm);
  const results::event_object& first = _event.objects[0];
  const results::event_object& second = _event.objects[1];
  put_unsigned(m_columns[3], index_of(first.uid));
  put_unsigned(m_columns[4], index_of(second.uid));
  put_signed(m_columns[5], first.x_mm + second.x_mm);
  put_signed(m_columns[6], first.y_mm + second.y_mm);
  put_unsigned(m_columns[7], first.driver_uid ? index_of(*first.driver_uid) + 1ULL : 0);
  put_unsigned(m_columns[8], second.driver_uid ? index_of(*second.driver_uid) + 1ULL : 0);
  if (m_options.zones != nullptr) {
    m_options.zones->zones_at(first.x_mm, first.y_mm, second.x_mm, second.y_mm, m_zones_of_event);
    const auto [found, added] =
        m_zone_sets.try_emplace(m_zones_of_event, static_cast<std::uint32_t>(m_zone_sets.size()));
    put_unsigned(m_columns[9], found->second);
  }
  m_marks.add(first.x_mm, first.y_mm, second.x_mm, second.y_mm,
              m_options.zones != nullptr ? &m_zones_of_event : nullptr);
  put_unsigned(m_columns.back(), m_result);
  const std::int64_t end_ms = start_ms + _event.duration_s * 1000;
  m_first_ms = m_events == 0 ? start_ms : std::min(m_first_ms, start_ms);
  m_last_ms = m_events == 0 ? end_ms : std::max(m_last_ms, end_ms);
  ++m_events;
  if (++m_chunk_events == chunk_events) {
    write_chunk();
  }
}

void page_writer::add_trackable(const results::trackable& _trackable) {
  const std::uint32_t index = index_of(_trackable.uid);
  // Listed twice in one result: the last entry stands, as it always did.
  if (m_last_listed[index] == m_result + 1) {
    listed_object& again = m_listing[m_listed_at[index]];
    again.name = _trackable.name;
    again.category = _trackable.category;
    return;
  }
  m_last_listed[index] = m_result + 1;
  m_listed_at[index] = static_cast<std::uint32_t>(m_listing.size());
  m_listing.push_back({index, _trackable.name, _trackable.category});
}

void page_writer::begin_result(std::uint32_t _index) {
  m_result = _index;
  m_listing.clear();
}

void page_writer::end_result(results::form _form) {
  if (_form == results::form::events_only) {
    ++m_arrays;
    return;
  }
  ++m_documents;
  for (const listed_object& object : m_listing) {
    compare_with_first(object);
  }
  write_listing();
}

void page_writer::compare_with_first(const listed_object& _object) {
  const std::uint32_t uid = _object.uid;
  if (m_first_listed[uid] == 0) {
    m_first_listed[uid] = m_result + 1;
    m_names[uid] = _object.name;
    m_categories[uid] = _object.category;
    return;
  }
  if (_object.name == m_names[uid] && _object.category == m_categories[uid]) {
    return;
  }
  // Each uid counted once; of the first, every name and category it had.
  if (m_differs.size() <= uid) {
    m_differs.resize(m_uids.size(), false);
  }
  uid_disagreement& found = m_disagreement;
  if (!m_differs[uid]) {
    m_differs[uid] = true;
    if (++found.uids == 1) {
      m_first_differing = uid;
      found.uid = m_uids[uid];
      found.variants.push_back({m_names[uid], m_categories[uid], m_first_listed[uid] - 1});
    }
  }
  if (uid == m_first_differing &&
      std::none_of(found.variants.begin(), found.variants.end(), [&](const auto& _variant) {
        return _variant.name == _object.name && _variant.category == _object.category;
      })) {
    found.variants.push_back({_object.name, _object.category, m_result});
  }
}

void page_writer::write_listing() {
  m_out << "<script type=\"application/json\" class=\"vela-listing\" data-result=\"" << m_result
        << "\">{\"uids\":[";
  for (std::size_t k = 0; k < m_listing.size(); ++k) {
    m_out << (k == 0 ? "" : ",") << m_listing[k].uid;
  }
  m_out << "],\"names\":[";
  for (std::size_t k = 0; k < m_listing.size(); ++k) {
    m_out << (k == 0 ? "" : ",") << tools::script_json_string(m_listing[k].name);
  }
  m_out << "],\"categories\":[";
  for (std::size_t k = 0; k < m_listing.size(); ++k) {
    m_out << (k == 0 ? "" : ",") << tools::script_json_string(m_listing[k].category);
  }
  m_out << "]}</script>\n";
  m_listing.clear();
}

void page_writer::finish(const provenance& _provenance, const std::vector<std::string>& _warnings) {
  if (m_chunk_events > 0) {
    write_chunk();
  }
  // Names and categories come from the documents, each result's with its events; objects met
  // only in events arrays have none.
  const bool listed = m_documents > 0;
  const char* form = m_arrays == 0 ? "\"document\"" : listed ? "\"mixed\"" : "\"events\"";
  m_out << "<script type=\"application/json\" id=\"vela-objects\">{\"form\":" << form
        << ",\"events\":" << m_events << ",\"uids\":" << json_list(m_uids) << ",\"disagreement\":";
  if (m_disagreement.uids > 0) {
    m_out << "{\"uids\":" << m_disagreement.uids
          << ",\"uid\":" << tools::script_json_string(m_disagreement.uid) << ",\"variants\":[";
    for (std::size_t k = 0; k < m_disagreement.variants.size(); ++k) {
      const uid_disagreement::variant& variant = m_disagreement.variants[k];
      m_out << (k == 0 ? "[" : ",[") << tools::script_json_string(variant.name) << ","
            << tools::script_json_string(variant.category) << "," << variant.result << "]";
    }
    m_out << "]}";
  } else {
    m_out << "null";
  }
  m_out << ",\"zoneSets\":";
  if (m_options.zones != nullptr) {
    std::vector<const std::vector<std::uint32_t>*> sets(m_zone_sets.size());
    for (const auto& [set, index] : m_zone_sets) {
      sets[index] = &set;
    }
    m_out << "[";
    for (std::size_t s = 0; s < sets.size(); ++s) {
      m_out << (s == 0 ? "[" : ",[");
      for (std::size_t k = 0; k < sets[s]->size(); ++k) {
        m_out << (k == 0 ? "" : ",") << (*sets[s])[k];
      }
      m_out << "]";
    }
    m_out << "]";
  } else {
    m_out << "null";
  }
  // The site's clock over the events' time, a day more each way, and the times the page states
  // of its making and its files: the offset in effect from each change on, so that the page
  // shows site time, days and hours without a time-zone database.
  const tools::site_clock& clock = m_options.clock;
  std::int64_t from_ms = (m_events > 0 ? m_first_ms : _provenance.made_ms) - day_ms;
  std::int64_t to_ms = (m_events > 0 ? m_last_ms : _provenance.made_ms) + day_ms;
  const auto cover = [&](std::int64_t _ms) {
    from_ms = std::min(from_ms, _ms);
    to_ms = std::max(to_ms, _ms);
  };
  cover(_provenance.made_ms);
  for (const page_input& input : _provenance.inputs) {
    if (input.modified_ms) {
      cover(*input.modified_ms);
    }
  }
  if (!_warnings.empty()) {
    m_out << ",\"warnings\":" << json_list(_warnings);
  }
  m_out << ",\"clock\":{\"label\":" << tools::script_json_string(clock.label()) << ",\"offsets\":[";
  const auto offsets = clock.offsets_between(from_ms / 1000, to_ms / 1000);
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    m_out << (k == 0 ? "[" : ",[") << (k == 0 ? from_ms : offsets[k].first * 1000) << ","
          << offsets[k].second << "]";
  }
  m_out << "]}";
  m_out << "}</script>\n<script type=\"application/json\" id=\"vela-provenance\">{\"generator\":"
        << tools::script_json_string(m_options.generator) << ",\"madeMs\":" << _provenance.made_ms
        << ",\"inputs\":[";
  for (std::size_t k = 0; k < _provenance.inputs.size(); ++k) {
    const page_input& input = _provenance.inputs[k];
    m_out << (k == 0 ? "{" : ",{") << "\"role\":" << tools::script_json_string(input.role)
          << ",\"name\":" << tools::script_json_string(input.name)
          << ",\"via\":" << tools::script_json_string(input.via)
          << ",\"bytes\":" << json_optional(input.bytes)
          << ",\"modifiedMs\":" << json_optional(input.modified_ms) << "}";
  }
  m_out << "]}</script>\n<script>\n" << page_js << "</script>\n</body>\n</html>\n";
}

std::uint32_t page_writer::index_of(const std::string& _uid) {
  const auto [found, added] =
      m_index_of_uid.try_emplace(_uid, static_cast<std::uint32_t>(m_uids.size()));
  if (added) {
    m_uids.push_back(_uid);
    m_names.emplace_back();
    m_categories.emplace_back();
    m_first_listed.push_back(0);
    m_last_listed.push_back(0);
    m_listed_at.push_back(0);
  }
  return found->second;
}

void page_writer::write_chunk() {
  m_out << "<script type=\"application/json\" class=\"vela-events\" data-count=\"" << m_chunk_events
        << "\">[";
  for (std::size_t c = 0; c < m_columns.size(); ++c) {
    m_out << (c == 0 ? "\"" : ",\"") << m_columns[c] << '"';
    m_columns[c].clear();
  }
  m_out << "]</script>\n";
  m_chunk_events = 0;
}
}  // namespace vela::report
