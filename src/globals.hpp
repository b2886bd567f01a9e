#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

namespace vela {
// Result of every stage of a run, and the process exit status.
enum class exit_code : int {
  SYNC_SUCCESS = 0,
  SYNC_FAILURE_UNKNOWN = 1,              // the replay failed, or an input could not be deleted
  SYNC_FAILURE_OPENING_INPUT_FILE = 2,   // an input file cannot be opened
  SYNC_FAILURE_PARSING_INPUT_FILE = 3,   // a JSON input cannot be parsed or lacks expected content
  SYNC_FAILURE_WRITING_OUTPUT_FILE = 4,  // the result cannot be delivered
};

// Readers of one named member of a JSON object. Each returns true and sets _value on success;
// otherwise it returns false and replaces _err with a text such as: field "uid" not found.
// They never throw on their own account, but _j_message must be an object or null: for any other
// kind the library's membership test throws its logic error, which reaches the caller.

// Copies the member, whatever its kind; false (and no text) when it is missing.
bool get_j_field(const Json::Value& _j_message, const std::string& _field_name,
                 Json::Value& _j_field);

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::string& _value, std::string& _err);
// An object member. Unlike the others, _value receives the member before its kind is tested.
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, Json::Value& _value,
                 std::string& _err);
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::int32_t& _value, std::string& _err);
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, double& _value,
                 std::string& _err);
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::uint32_t& _value, std::string& _err);
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::int64_t& _value, std::string& _err);
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, bool& _value,
                 std::string& _err);
// Appends the strings of an array member to _value (which is not cleared). On a non-string
// element it fails, keeping the elements appended before it.
bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::vector<std::string>& _value, std::string& _err);

// A string of exactly 2 * _size hexadecimal digits, returned upper-cased. After a failure on
// the length or a digit, _value holds the text as read.
bool get_j_value_as_hex(const Json::Value& _j_message, const std::string& _field_name,
                        std::string& _value, const std::uint32_t _size, std::string& _err);
}  // namespace vela
