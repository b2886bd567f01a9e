#include "globals.hpp"

#include <cctype>

namespace vela {
namespace {
std::string field_error(const std::string& _field_name, const char* _tail) {
  return "field \"" + _field_name + "\" " + _tail;
}

// The common shape of the scalar readers: presence, kind, conversion.
template <class T, class IsKind, class Convert>
bool get_scalar(const Json::Value& _j_message, const std::string& _field_name, T& _value,
                std::string& _err, IsKind _is_kind, Convert _convert, const char* _kind_tail) {
  Json::Value j_value;
  if (!get_j_field(_j_message, _field_name, j_value)) {
    _err = field_error(_field_name, "not found");
    return false;
  }
  if (!_is_kind(j_value)) {
    _err = field_error(_field_name, _kind_tail);
    return false;
  }
  _value = _convert(j_value);
  return true;
}
}  // namespace

bool get_j_field(const Json::Value& _j_message, const std::string& _field_name,
                 Json::Value& _j_field) {
  if (!_j_message.isMember(_field_name)) {
    return false;
  }
  _j_field = _j_message[_field_name];
  return true;
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::string& _value, std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isString(); },
      [](const Json::Value& v) { return v.asString(); }, "is not a string");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, Json::Value& _value,
                 std::string& _err) {
  if (!get_j_field(_j_message, _field_name, _value)) {
    _err = field_error(_field_name, "not found");
    return false;
  }
  if (!_value.isObject()) {
    _err = field_error(_field_name, "is not an object");
    return false;
  }
  return true;
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::int32_t& _value, std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isInt(); },
      [](const Json::Value& v) { return v.asInt(); }, "is not Int");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, double& _value,
                 std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isDouble(); },
      [](const Json::Value& v) { return v.asDouble(); }, "is not Double");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::uint32_t& _value, std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isUInt(); },
      [](const Json::Value& v) { return v.asUInt(); }, "is not UInt");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::int64_t& _value, std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isInt64(); },
      [](const Json::Value& v) { return v.asInt64(); }, "is not Int64");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name, bool& _value,
                 std::string& _err) {
  return get_scalar(
      _j_message, _field_name, _value, _err, [](const Json::Value& v) { return v.isBool(); },
      [](const Json::Value& v) { return v.asBool(); }, "is not Bool");
}

bool get_j_value(const Json::Value& _j_message, const std::string& _field_name,
                 std::vector<std::string>& _value, std::string& _err) {
  Json::Value j_value;
  if (!get_j_field(_j_message, _field_name, j_value)) {
    _err = field_error(_field_name, "not found");
    return false;
  }
  if (!j_value.isArray()) {
    _err = field_error(_field_name, "is not an array");
    return false;
  }
  for (Json::ArrayIndex i = 0; i < j_value.size(); ++i) {
    if (!j_value[i].isString()) {
      _err = field_error(_field_name, "is not an array of strings");
      return false;
    }
    _value.push_back(j_value[i].asString());
  }
  return true;
}

bool get_j_value_as_hex(const Json::Value& _j_message, const std::string& _field_name,
                        std::string& _value, const std::uint32_t _size, std::string& _err) {
  std::string text;
  if (!get_j_value(_j_message, _field_name, text, _err)) {
    return false;
  }
  _value = text;
  // The length is compared as an unsigned 32-bit product, which wraps for huge sizes.
  const std::uint32_t digits = 2u * _size;
  if (_value.size() != digits) {
    _err = field_error(_field_name, "is not valid");
    return false;
  }
  for (const char c : _value) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      _err = field_error(_field_name, "is not valid");
      return false;
    }
  }
  for (char& c : _value) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return true;
}
}  // namespace vela
