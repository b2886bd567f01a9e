#include "globals.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

namespace vela {
namespace {
Json::Value document() {
  std::istringstream text(R"({"s": "text", "seven": 7, "three": 3.0, "half": 3.5, "minus": -1,
      "null": null, "yes": true, "big": 4294967296, "digits": "12", "huge": 1e30,
      "obj": {"a": 1}, "mixed": ["a", 1, "b"], "list": ["p", "q"], "empty": [],
      "hex": "0aFf", "short_hex": "0aF", "bad_hex": "0aGf", "no_hex": ""})");
  Json::Value doc;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &doc, nullptr));
  return doc;
}

// Reads _field into a value holding _before. _err changes only on failure, and then wholly.
template <class T>
void expect_read(const char* _field, T _before, bool _ok, T _after, const std::string& _tail) {
  SCOPED_TRACE(_field);
  T value = _before;
  std::string err = "earlier text";
  EXPECT_EQ(get_j_value(document(), _field, value, err), _ok);
  EXPECT_EQ(value, _after);
  EXPECT_EQ(err, _ok ? "earlier text" : "field \"" + std::string(_field) + "\" " + _tail);
}

TEST(GlobalsTest, AccessorsReadOnlyTheirKind) {
  using text = std::string;
  using texts = std::vector<std::string>;
  expect_read<text>("s", "old", true, "text", "");
  expect_read<text>("seven", "old", false, "old", "is not a string");
  expect_read<text>("null", "old", false, "old", "is not a string");  // present, though null
  expect_read<text>("absent", "old", false, "old", "not found");
  expect_read<std::int32_t>("seven", 0, true, 7, "");
  expect_read<std::int64_t>("seven", 0, true, 7, "");
  expect_read<std::uint32_t>("seven", 0, true, 7, "");
  expect_read<std::int32_t>("three", 0, true, 3, "");
  expect_read<std::int32_t>("half", 9, false, 9, "is not Int");
  expect_read<std::int32_t>("big", 9, false, 9, "is not Int");
  expect_read<std::uint32_t>("minus", 9, false, 9, "is not UInt");
  expect_read<std::uint32_t>("big", 9, false, 9, "is not UInt");
  expect_read<std::int64_t>("big", 9, true, 4294967296, "");
  expect_read<std::int64_t>("huge", 9, false, 9, "is not Int64");
  expect_read<std::int64_t>("digits", 9, false, 9, "is not Int64");
  expect_read<double>("half", 0, true, 3.5, "");
  expect_read<double>("digits", 1, false, 1, "is not Double");
  expect_read<bool>("yes", false, true, true, "");
  expect_read<bool>("seven", false, false, false, "is not Bool");
  // The object reader copies the member before it tests the kind.
  expect_read<Json::Value>("obj", Json::Value(), true, document()["obj"], "");
  expect_read<Json::Value>("seven", Json::Value(), false, Json::Value(7), "is not an object");
  expect_read<Json::Value>("absent", Json::Value(1), false, Json::Value(1), "not found");
  // The list reader appends, and keeps what it appended before a failure.
  expect_read<texts>("list", {"x"}, true, {"x", "p", "q"}, "");
  expect_read<texts>("empty", {"x"}, true, {"x"}, "");
  expect_read<texts>("mixed", {"x"}, false, {"x", "a"}, "is not an array of strings");
  expect_read<texts>("absent", {"x"}, false, {"x"}, "not found");
}

TEST(GlobalsTest, HexAccessorChecksLengthAndDigits) {
  const struct {
    const char* field;
    std::uint32_t size;
    const char *value, *tail;  // tail empty: success
  } rows[] = {
      {"hex", 2, "0AFF", ""},
      {"no_hex", 0, "", ""},
      {"short_hex", 2, "0aF", "is not valid"},
      {"bad_hex", 2, "0aGf", "is not valid"},
      {"hex", 1, "0aFf", "is not valid"},
      {"hex", 0, "0aFf", "is not valid"},
      {"seven", 1, "old", "is not a string"},
      {"absent", 1, "old", "not found"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.field + std::string(" of size ") + std::to_string(row.size));
    std::string value = "old";
    std::string err = "earlier text";
    const bool ok = *row.tail == '\0';
    EXPECT_EQ(get_j_value_as_hex(document(), row.field, value, row.size, err), ok);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(err, ok ? "earlier text" : "field \"" + std::string(row.field) + "\" " + row.tail);
  }
}

TEST(GlobalsTest, NullMessageHasNoMembersAndOtherKindsThrow) {
  Json::Value field(5);
  EXPECT_FALSE(get_j_field(document(), "absent", field));
  EXPECT_EQ(field, Json::Value(5));
  EXPECT_TRUE(get_j_field(document(), "null", field));
  EXPECT_TRUE(field.isNull());
  std::string text;
  std::string err;
  EXPECT_FALSE(get_j_value(Json::Value(), "uid", text, err));
  EXPECT_EQ(err, "field \"uid\" not found");
  for (const Json::Value& message :
       {Json::Value(Json::arrayValue), Json::Value(5), Json::Value("uid"), Json::Value(true)}) {
    SCOPED_TRACE(message.toStyledString());
    std::int64_t number = 0;
    const auto expect_logic_error = [](auto _read) {
      try {
        _read();
        ADD_FAILURE() << "no exception";
      } catch (const Json::LogicError& e) {
        EXPECT_NE(std::string(e.what()).find("requires objectValue or nullValue"),
                  std::string::npos);
      }
    };
    expect_logic_error([&] { get_j_field(message, "uid", field); });
    expect_logic_error([&] { get_j_value(message, "uid", text, err); });
    expect_logic_error([&] { get_j_value(message, "uid", number, err); });
    expect_logic_error([&] { get_j_value_as_hex(message, "uid", text, 1, err); });
  }
}
}  // namespace
}  // namespace vela
