#include "position.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace vela {
namespace {
// The record written back as a line, NUL bytes as @ (as in the tables below).
template <class P>
std::string line_of(const P& _p) {
  std::ostringstream out;
  out << _p.id << ',' << _p.timestamp.ts << ',' << _p.timestamp.ms << ',' << _p.mac_address << ','
      << _p.x << ',' << _p.y << ',' << _p.z << ',' << _p.obj_uid << ',' << _p.sublocation_uid << ','
      << _p.project_uid << ',' << _p.type;
  std::string text = out.str();
  std::replace(text.begin(), text.end(), '\0', '@');
  return text;
}

// Parses _line as the owning record and as the view the replay uses; empty when rejected.
std::string reparsed(std::string _line) {
  std::replace(_line.begin(), _line.end(), '@', '\0');
  const auto pos = position::from_csv_line(_line);
  const auto view = position_view::from_csv_line(_line);
  EXPECT_EQ(bool(pos), bool(view));
  const std::string text = pos ? line_of(*pos) : "";
  EXPECT_EQ(view ? line_of(*view) : "", text);
  return text;
}

TEST(PositionTest, AcceptsElevenFieldsConvertedAsStrtoulAndStrtol) {
  const struct {
    std::string line, expected;
  } rows[] = {
      {"1,100,250,AA:BB:CC:DD:EE:FF,120,-340,0,obj-1,sub-1,prj-1,TAG",
       "1,100,250,AA:BB:CC:DD:EE:FF,120,-340,0,obj-1,sub-1,prj-1,TAG"},
      {"12abc, 7,+5,,0x1F,\t-12x,-0,,,,T", "12,7,5,,0,-12,0,,,,T"},
      {" \t\n\v\f\r7,2,3, m ,4,5,6,o@p,s,p,T", "7,2,3, m ,4,5,6,o@p,s,p,T"},
      {"-1,-5,5000,m,2147483647,-2147483648,4,o,s,p,TAG\r",
       "4294967295,-5,5000,m,2147483647,-2147483648,4,o,s,p,TAG\r"},
      {"4294967297,18446744073709551615,-18446744073709551615,m,4,5,6,o,s,p,,",
       "1,-1,1,m,4,5,6,o,s,p,"},  // the eleventh field is empty but present
      {"3@9,9223372036854775808,00018446744073709551615,m,4,5,6,o,s,p,T,x,y",
       "3,-9223372036854775808,-1,m,4,5,6,o,s,p,T"},  // NUL ends a number; extra fields ignored
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.line));
    EXPECT_EQ(reparsed(row.line), row.expected);
  }
}

TEST(PositionTest, RejectsMalformedLines) {
  std::istringstream lines(R"(
id,ts,ms,mac,x,y,z,obj,sub,prj,type
1,2,3,m,4,5,6,o,s,p
1,2,3,m,4,5,6,o,s,p,
,2,3,m,4,5,6,o,s,p,T
1,,3,m,4,5,6,o,s,p,T
1,2,,m,4,5,6,o,s,p,T
1,2,3,m,,5,6,o,s,p,T
abc,2,3,m,4,5,6,o,s,p,T
+,2,3,m,4,5,6,o,s,p,T
1,-,3,m,4,5,6,o,s,p,T
1,2,+-5,m,4,5,6,o,s,p,T
1,2,3,m,- 5,5,6,o,s,p,T
1,2,3,m,4,5,@5,o,s,p,T
18446744073709551616,2,3,m,4,5,6,o,s,p,T
1,2,-18446744073709551616,m,4,5,6,o,s,p,T
1,2,3,m,2147483648,5,6,o,s,p,T
1,2,3,m,4,-2147483649,6,o,s,p,T
1,2,3,m,4,5,-18446744073709551615,o,s,p,T)");  // the first line is empty
  for (std::string line; std::getline(lines, line);) {
    SCOPED_TRACE(line);
    EXPECT_EQ(reparsed(line), "");
  }
}

// The straightforward parser: getline splits, the library converts (and stops at a NUL byte).
boost::optional<position> oracle(const std::string& _line) {
  std::istringstream in(_line);
  const auto next = [&](std::string& _field) {
    if (!std::getline(in, _field, ',')) {
      throw std::invalid_argument("missing field");
    }
    return _field;
  };
  std::string field;
  const auto next_int32 = [&] {
    const long value = std::stol(next(field));
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      throw std::out_of_range("beyond 32 bits");
    }
    return static_cast<std::int32_t>(value);
  };
  try {
    position pos;
    pos.id = static_cast<std::uint32_t>(std::stoul(next(field)));
    pos.timestamp.ts = static_cast<std::int64_t>(std::stoul(next(field)));
    pos.timestamp.ms = static_cast<std::int64_t>(std::stoul(next(field)));
    next(pos.mac_address);
    pos.x = next_int32();
    pos.y = next_int32();
    pos.z = next_int32();
    for (std::string* text : {&pos.obj_uid, &pos.sublocation_uid, &pos.project_uid, &pos.type}) {
      next(*text);
    }
    return pos;
  } catch (const std::exception&) {
    return boost::none;
  }
}

TEST(PositionTest, AgreesWithLibraryConversionsOnGeneratedLines) {
  // clang-format off
  const char* alphabet[] = {" 7", "+5", "-1", "", "12abc", "2147483647", "2147483648",
      "-2147483648", "-2147483649", "4294967296", "18446744073709551615", "18446744073709551616",
      "-18446744073709551615", "-18446744073709551616", "9223372036854775808", "\t3", "0x1F", "-",
      "+", "\r", " - 1", "@5", "6@5", "1,2", "00042", "abc", "+-1", "-0"};  // @ stands for NUL
  // clang-format on
  std::mt19937 random(20240607);
  std::uniform_int_distribution<std::size_t> field_count(9, 13);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) * 2 - 1);
  int accepted = 0;
  for (int n = 0; n < 5000; ++n) {
    std::string line;
    for (std::size_t i = field_count(random); i > 0; --i) {
      const std::size_t k = pick(random);  // half of the fields are a plain number
      line += (k < std::size(alphabet) ? alphabet[k] : "8") + std::string(i > 1 ? "," : "");
    }
    SCOPED_TRACE(line);
    std::replace(line.begin(), line.end(), '@', '\0');
    const auto expected = oracle(line);
    std::replace(line.begin(), line.end(), '\0', '@');
    ASSERT_EQ(reparsed(line), expected ? line_of(*expected) : "");
    accepted += expected ? 1 : 0;
  }
  EXPECT_GT(accepted, 200);  // acceptance is exercised, not only rejection
}

std::string fault_text(const line_fault& _fault) {
  const char* names[] = {"none", "missing field", "no digit", "out of range"};
  return std::string(names[static_cast<int>(_fault.why)]) + " in column " +
         std::to_string(_fault.column);
}

// The fault of _line (@ stands for NUL), checked against what from_csv_line says of the line.
std::string fault_of(std::string _line) {
  std::replace(_line.begin(), _line.end(), '@', '\0');
  position_view pos;
  const line_fault fault = position_view::parse(_line, pos);
  EXPECT_EQ(fault.rejects(), !position_view::from_csv_line(_line));
  return fault.rejects() ? fault_text(fault) : "accepted";
}

TEST(PositionTest, NamesTheFirstColumnAtFaultAndWhy) {
  const struct {
    const char* line;
    const char* expected;
  } rows[] = {
      {"1,100,250,AA:BB:CC:DD:EE:FF,120,-340,0,obj-1,sub-1,prj-1,TAG", "accepted"},
      {"", "missing field in column 1"},
      {"id,ts,ms,mac,x,y,z,obj,sub,prj,type", "no digit in column 1"},
      {"1", "missing field in column 2"},
      {"1,", "missing field in column 2"},  // nothing after the comma: the read fails
      {"1,2,3,m,4,5,6,o,s,p", "missing field in column 11"},
      {"1,2,3,m,4,5,6,o,s,p,", "missing field in column 11"},
      {"1,2,3,m,4,5,6,o", "missing field in column 9"},
      {"1,2,3", "missing field in column 4"},
      {"1,2,3,m", "missing field in column 5"},
      {"1,,3,m,4,5,6,o,s,p,T", "no digit in column 2"},
      {"1,2,+-5,m,4,5,6,o,s,p,T", "no digit in column 3"},
      {"1,2,3,m,- 5,5,6,o,s,p,T", "no digit in column 5"},
      {"1,2,3,m,4,5,@5,o,s,p,T", "no digit in column 7"},
      {"18446744073709551616,2,3,m,4,5,6,o,s,p,T", "out of range in column 1"},
      {"1,2,-18446744073709551616,m,4,5,6,o,s,p,T", "out of range in column 3"},
      {"1,2,3,m,2147483648,5,6,o,s,p,T", "out of range in column 5"},
      {"1,2,3,m,4,-2147483649,6,o,s,p,T", "out of range in column 6"},
      {"1,2,3,m,4,5,-18446744073709551617,o,s,p,T", "out of range in column 7"},
      {"x,2,3,m,99999999999,5,6,o,s,p", "no digit in column 1"},  // the first fault only
      {"1,2,3,m,4,5,6,o,s,p,T\r", "accepted"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.line));
    EXPECT_EQ(fault_of(row.line), row.expected);
  }
}

// The fault the library conversions find: getline splits, a field that stoul or stol cannot
// convert is "no digit", one they or the 32-bit range refuse is "out of range".
std::string oracle_fault(const std::string& _line) {
  std::istringstream in(_line);
  std::string field;
  for (int column = 1; column <= 11; ++column) {
    const std::string where = " in column " + std::to_string(column);
    if (!std::getline(in, field, ',')) {
      return "missing field" + where;
    }
    try {
      if (column <= 3) {
        std::stoul(field);
      } else if (column >= 5 && column <= 7) {
        const long value = std::stol(field);
        if (value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
          return "out of range" + where;
        }
      }
    } catch (const std::invalid_argument&) {
      return "no digit" + where;
    } catch (const std::out_of_range&) {
      return "out of range" + where;
    }
  }
  return "accepted";
}

TEST(PositionTest, FaultAgreesWithLibraryConversionsOnGeneratedLines) {
  // clang-format off
  const char* alphabet[] = {" 7", "+5", "-1", "", "12abc", "2147483648", "-2147483649",
      "18446744073709551616", "-18446744073709551615", "abc", "+-1", "@5", "\r", "1,2"};
  // clang-format on
  std::mt19937 random(20260101);
  std::uniform_int_distribution<std::size_t> field_count(0, 12);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) * 3 - 1);
  std::set<std::string> faults_seen;
  for (int n = 0; n < 5000; ++n) {
    std::string line;
    for (std::size_t i = field_count(random); i > 0; --i) {
      const std::size_t k = pick(random);  // two fields in three are a plain number
      line += (k < std::size(alphabet) ? alphabet[k] : "8") + std::string(i > 1 ? "," : "");
    }
    SCOPED_TRACE(testing::PrintToString(line));
    std::string with_nul = line;
    std::replace(with_nul.begin(), with_nul.end(), '@', '\0');
    const std::string expected = oracle_fault(with_nul);
    ASSERT_EQ(fault_of(line), expected);
    faults_seen.insert(expected.substr(0, expected.find(" in column ")));
  }
  EXPECT_EQ(faults_seen.size(), 4U) << "every kind of fault, and acceptance, is exercised";
}
}  // namespace
}  // namespace vela
