#include "result/event_document.hpp"

#include <gtest/gtest.h>
#include <json/json.h>

#include <boost/optional.hpp>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"
#include "exception.hpp"
#include "trackable_object.hpp"

// Every check holds the streamed text against what the JSON library writes for the tree the
// program builds today (event::get_as_json, trackable_object::get_as_json), byte for byte.

namespace vela {
namespace {
// The bytes of a literal, embedded NULs included.
template <std::size_t size>
constexpr std::string_view bytes(const char (&_literal)[size]) {
  return std::string_view(_literal, size - 1);
}

std::string library_string(std::string_view _text) {
  return Json::writeString(Json::StreamWriterBuilder(),
                           Json::Value(_text.data(), _text.data() + _text.size()));
}

std::string streamed_string(std::string_view _text) {
  std::string out;
  append_json_string(out, _text);
  return out;
}

// Printable, so that a failure shows which bytes differ.
std::string hex(std::string_view _text) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : _text) {
    const auto byte = static_cast<unsigned char>(c);
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
    out += ' ';
  }
  return out;
}

void expect_same_string(std::string_view _text) {
  EXPECT_EQ(streamed_string(_text), library_string(_text)) << "bytes: " << hex(_text);
}

// A document with the text it refers to.
struct party_record {
  std::string uid;
  std::int32_t x = 0;
  std::int32_t y = 0;
  boost::optional<std::string> driver_uid;
};
struct event_record {
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::int64_t duration = 0;
  std::int64_t distance = 0;
  party_record parties[2];
};
struct object_record {
  std::string uid;
  std::string name;
  bool vehicle = false;
};
struct document_record {
  std::vector<event_record> events;
  std::vector<object_record> objects;
};

trackable_object_for_event as_trackable(const party_record& _party) {
  trackable_object_for_event out;
  out.uid = _party.uid;
  out.x = _party.x;
  out.y = _party.y;
  if (_party.driver_uid) {
    out.driver_uid = *_party.driver_uid;
  }
  return out;
}

Json::Value library_event(const event_record& _event) {
  event ev;
  ev.timestamp = timestamp(_event.ts, _event.ms);
  ev.duration = _event.duration;
  ev.distance = _event.distance;
  ev.trackable_object_1 = as_trackable(_event.parties[0]);
  ev.trackable_object_2 = as_trackable(_event.parties[1]);
  return ev.get_as_json();
}

Json::Value library_object(const object_record& _object) {
  trackable_object obj;
  obj.uid = _object.uid;
  obj.name = _object.name;
  obj.m_category = _object.vehicle ? category::vehicle : category::person;
  return obj.get_as_json();
}

// The document as the program writes it through the library, final newline included.
std::string library_document(const document_record& _document, document_form _form) {
  Json::Value events(Json::arrayValue);
  for (const event_record& ev : _document.events) {
    events.append(library_event(ev));
  }
  if (_form == document_form::standard_output) {
    return Json::writeString(Json::StreamWriterBuilder(), events) + "\n";
  }
  Json::Value objects(Json::arrayValue);
  for (const object_record& obj : _document.objects) {
    objects.append(library_object(obj));
  }
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "    ";
  Json::Value document;
  document["trackableObjects"] = objects;
  document["events"] = events;
  return Json::writeString(builder, document) + "\n";
}

document_party as_party(const party_record& _party) {
  document_party out;
  out.uid = _party.uid;
  out.x = _party.x;
  out.y = _party.y;
  out.has_driver = _party.driver_uid.has_value();
  if (_party.driver_uid) {
    out.driver_uid = *_party.driver_uid;
  }
  return out;
}

// The document through the writer. The buffer is emptied into the result at random points, as
// the program flushes it to the file.
std::string streamed_document(const document_record& _document, document_form _form,
                              std::mt19937_64& _random) {
  std::string written;
  std::string buffer;
  const auto maybe_flush = [&] {
    if (_random() % 3 == 0) {
      written += buffer;
      buffer.clear();
    }
  };
  event_document writer(_form);
  for (const event_record& ev : _document.events) {
    document_event in;
    in.ts = ev.ts;
    in.ms = ev.ms;
    in.duration = ev.duration;
    in.distance = ev.distance;
    in.parties[0] = as_party(ev.parties[0]);
    in.parties[1] = as_party(ev.parties[1]);
    writer.add_event(buffer, in);
    maybe_flush();
  }
  if (_form == document_form::file) {
    for (const object_record& obj : _document.objects) {
      writer.add_object(buffer, document_object{obj.uid, obj.name, obj.vehicle});
      maybe_flush();
    }
  }
  writer.finish(buffer);
  return written + buffer;
}

// Encodes _code_point in the UTF-8 pattern of its size, also beyond U+10FFFF (up to 21 bits)
// and for surrogates, which valid UTF-8 never holds.
std::string encode(std::uint32_t _code_point) {
  std::string out;
  const auto put = [&out](std::uint32_t _byte) { out += static_cast<char>(_byte); };
  if (_code_point < 0x80) {
    put(_code_point);
  } else if (_code_point < 0x800) {
    put(0xC0 | (_code_point >> 6));
    put(0x80 | (_code_point & 0x3F));
  } else if (_code_point < 0x10000) {
    put(0xE0 | (_code_point >> 12));
    put(0x80 | ((_code_point >> 6) & 0x3F));
    put(0x80 | (_code_point & 0x3F));
  } else {
    put(0xF0 | (_code_point >> 18));
    put(0x80 | ((_code_point >> 12) & 0x3F));
    put(0x80 | ((_code_point >> 6) & 0x3F));
    put(0x80 | (_code_point & 0x3F));
  }
  return out;
}

// Random text mixing the cases the escaping distinguishes.
std::string hostile_text(std::mt19937_64& _random) {
  const auto below = [&_random](std::uint64_t _bound) {
    return static_cast<std::uint32_t>(_random() % _bound);
  };
  const std::size_t pieces = below(50) == 0 ? 400 : below(10);
  std::string out;
  for (std::size_t i = 0; i < pieces; ++i) {
    switch (below(11)) {
      case 0:
        out += std::string(below(12), static_cast<char>('a' + below(26)));
        break;
      case 1:
        out += "\"\\/\x7f"[below(4)];
        break;
      case 2:
        out += static_cast<char>(below(0x20));  // control characters, NUL included
        break;
      case 3:
        out += encode(0x80 + below(0x780));  // two bytes
        break;
      case 4:
        out += encode(0x800 + below(0xF800));  // three bytes, surrogates included
        break;
      case 5:
        out += encode(0x10000 + below(0x1F0000));  // four bytes, beyond U+10FFFF included
        break;
      case 6: {
        const std::string whole = encode(0x80 + below(0x10FF80));
        out += whole.substr(0, 1 + below(whole.size()));  // often cut short
        break;
      }
      case 7:
        out += static_cast<char>(0x80 + below(0x80));  // continuation, lead or invalid byte
        break;
      case 8: {
        static constexpr std::string_view malformed[] = {
            bytes("\xc0\x80"),         bytes("\xc1\xbf"),         bytes("\xe0\x80\xaf"),
            bytes("\xf0\x80\x80\x80"), bytes("\xed\xa0\x80"),     bytes("\xed\xbf\xbf"),
            bytes("\xf5\x80\x80\x80"), bytes("\xf8\x88\x80\x80"), bytes("\xff"),
        };  // overlong forms, encoded surrogates, leads no code point has
        out += malformed[below(std::size(malformed))];
        break;
      }
      case 9:
        out += static_cast<char>(below(256));
        break;
      default:
        out += "V-1";
        break;
    }
  }
  return out;
}

std::int64_t extreme_int64(std::mt19937_64& _random) {
  constexpr std::int64_t values[] = {
      std::numeric_limits<std::int64_t>::min(),
      std::numeric_limits<std::int64_t>::max(),
      std::numeric_limits<std::int32_t>::min(),
      std::numeric_limits<std::int32_t>::max(),
      0,
      -1,
      1,
      -10,
      1700000000,
  };
  const std::size_t pick = _random() % (std::size(values) + 2);
  if (pick < std::size(values)) {
    return values[pick];
  }
  // Wrap-around intended: any 64-bit pattern, negative ones included.
  return pick == std::size(values) ? static_cast<std::int64_t>(_random())
                                   : static_cast<std::int64_t>(_random() % 2001) - 1000;
}

std::int32_t extreme_int32(std::mt19937_64& _random) {
  constexpr std::int32_t values[] = {std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max(), 0, -1, 1};
  const std::size_t pick = _random() % (std::size(values) + 1);
  // Wrap-around intended: any 32-bit pattern.
  return pick < std::size(values) ? values[pick] : static_cast<std::int32_t>(_random());
}

document_record random_document(std::mt19937_64& _random) {
  const auto count = [&_random] { return _random() % 10 == 0 ? _random() % 60 : _random() % 4; };
  document_record doc;
  doc.events.resize(count());
  for (event_record& ev : doc.events) {
    ev.ts = extreme_int64(_random);
    ev.ms = extreme_int64(_random);
    ev.duration = extreme_int64(_random);
    ev.distance = extreme_int64(_random);
    for (party_record& party : ev.parties) {
      party.uid = hostile_text(_random);
      party.x = extreme_int32(_random);
      party.y = extreme_int32(_random);
      if (_random() % 2 == 0) {
        party.driver_uid = hostile_text(_random);
      }
    }
  }
  doc.objects.resize(count());
  for (object_record& obj : doc.objects) {
    obj.uid = hostile_text(_random);
    obj.name = hostile_text(_random);
    obj.vehicle = _random() % 2 == 0;
  }
  return doc;
}

TEST(JsonStringTest, MatchesLibraryOnHostileStrings) {
  const struct {
    std::string_view text;
    const char* why;
  } rows[] = {
      {bytes(""), "empty"},
      {bytes("V1"), "plain"},
      {bytes("a\"b\\c/d"), "quote and backslash escaped, slash not"},
      {bytes("\b\f\n\r\t"), "short escapes"},
      {bytes("\x01\x02\x03\x04\x05\x06\x07\x0b\x0e\x0f"), "controls without a short escape"},
      {bytes("\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f"),
       "controls 0x10..0x1f"},
      {bytes("a\x7f"
             "b"),
       "DEL stays raw"},
      {bytes("a\0b"), "embedded NUL"},
      {bytes("\0"), "NUL alone"},
      {bytes("\xc3\xa9t\xc3\xa9"), "valid two-byte"},
      {bytes("\xe2\x82\xac"), "valid three-byte"},
      {bytes("\xef\xbf\xbf"), "U+FFFF"},
      {bytes("\xf0\x9f\x98\x80"), "valid four-byte: surrogate pair"},
      {bytes("\xf4\x8f\xbf\xbf"), "U+10FFFF"},
      {bytes("\xf4\x90\x80\x80"), "beyond U+10FFFF: the pair wraps"},
      {bytes("\xf7\xbf\xbf\xbf"), "largest four-byte pattern"},
      {bytes("x\xc3"), "two-byte cut at the end"},
      {bytes("x\xe2\x82"), "three-byte cut at the end"},
      {bytes("x\xf0\x9f\x98"), "four-byte cut at the end: the rest reads as a two-byte"},
      {bytes("\xe2\x82"
             "A"),
       "three-byte cut in the middle swallows the next character"},
      {bytes("\xc3"
             "A"),
       "two-byte cut in the middle"},
      {bytes("\xc2\"z"), "a quote swallowed as a continuation byte"},
      {bytes("\xc2\\z"), "a backslash swallowed as a continuation byte"},
      {bytes("\xc2\0z"), "a NUL swallowed as a continuation byte"},
      {bytes("\x80"
             "A"),
       "stray continuation byte leads two bytes"},
      {bytes("x\x80"), "stray continuation byte at the end"},
      {bytes("\xbf\xbf\xbf"), "stray continuation bytes in a row"},
      {bytes("\xc0\x80"), "overlong NUL"},
      {bytes("\xc1\xbf"), "overlong 0x7f"},
      {bytes("\xe0\x80\x80"), "overlong three-byte"},
      {bytes("\xe0\x9f\xbf"), "largest overlong three-byte"},
      {bytes("\xf0\x80\x80\x80"), "overlong four-byte"},
      {bytes("\xf0\x8f\xbf\xbf"), "largest overlong four-byte"},
      {bytes("\xed\xa0\x80"), "encoded high surrogate"},
      {bytes("\xed\xbf\xbf"), "encoded low surrogate"},
      {bytes("\xed\x9f\xbf"), "last code point before the surrogates"},
      {bytes("\xf5\x80\x80\x80"), "lead 0xf5"},
      {bytes("\xf8"
             "ab"),
       "0xf8 alone"},
      {bytes("\xf8\xf9\xfa\xfb\xfc\xfd\xfe\xff"), "0xf8..0xff"},
      {bytes("\xff"), "0xff alone"},
      {bytes("\\bcdefgh"), "backslash first in a word"},
      {bytes("abcdefg\""), "quote last in a word"},
      {bytes("abc\x1f"
             "efgh"),
       "control inside a word"},
      {bytes("abcdefg\x80"), "high byte last in a word"},
      {bytes("abcdefgh\x01"), "escape just after a word"},
      {bytes("abcdefgh ~!#[]{}"), "no escape in two words: the bytes around the escaped ones"},
      {bytes("abcdefghijklmnop\xc3\xa9qrstuvwxyz0123456789"), "escape inside long ASCII"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    expect_same_string(row.text);
  }
}

TEST(JsonStringTest, MatchesLibraryOnVeryLongStrings) {
  std::string text(100000, 'k');
  expect_same_string(text);
  for (std::size_t i = 0; i < text.size(); i += 997) {
    text[i] = "\"\x01\xc3\xe2\xf0\x80\xff\0"[i % 8];
  }
  expect_same_string(text);
}

TEST(JsonStringTest, MatchesLibraryOnEveryByteAndPairOfBytes) {
  for (std::uint32_t first = 0; first < 256; ++first) {
    SCOPED_TRACE(first);
    const char lead = static_cast<char>(first);
    expect_same_string(std::string(1, lead));
    for (std::uint32_t second = 0; second < 256; ++second) {
      const char next = static_cast<char>(second);
      // At the end, and followed by text a wrongly taken byte would change.
      expect_same_string(std::string{'x', lead, next});
      expect_same_string(std::string{lead, next, 'A', '"'});
    }
  }
}

TEST(JsonStringTest, MatchesLibraryOnLongLeadsWithAnyFollowers) {
  const unsigned char followers[] = {0x00, 0x09, 0x22, 0x41, 0x5c, 0x7f, 0x80,
                                     0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
  for (std::uint32_t lead = 0xe0; lead < 0x100; ++lead) {
    SCOPED_TRACE(lead);
    for (const unsigned char second : followers) {
      for (const unsigned char third : followers) {
        for (const unsigned char fourth : followers) {
          const std::string text{static_cast<char>(lead), static_cast<char>(second),
                                 static_cast<char>(third), static_cast<char>(fourth), 'z'};
          expect_same_string(text);
          expect_same_string(text.substr(0, 3));
        }
      }
    }
  }
}

TEST(JsonStringTest, MatchesLibraryOnRandomText) {
  std::mt19937_64 random(20240601);
  for (int i = 0; i < 20000; ++i) {
    SCOPED_TRACE(i);
    expect_same_string(hostile_text(random));
  }
}

TEST(JsonStringTest, AppendsToWhatTheBufferHolds) {
  std::string out = "prefix ";
  append_json_string(out, "\xc3\xa9");
  EXPECT_EQ(out, "prefix " + library_string("\xc3\xa9"));
}

TEST(EventDocumentTest, EmptyDocumentsMatchLibrary) {
  for (const document_form form : {document_form::file, document_form::standard_output}) {
    SCOPED_TRACE(form == document_form::file ? "file" : "standard output");
    std::mt19937_64 random(1);
    EXPECT_EQ(streamed_document({}, form, random), library_document({}, form));
  }
}

TEST(EventDocumentTest, ObjectsWithoutEventsMatchLibrary) {
  document_record doc;
  doc.objects = {{"P1", "Anna", false}, {"V1", "Truck \"7\"", true}};
  std::mt19937_64 random(2);
  EXPECT_EQ(streamed_document(doc, document_form::file, random),
            library_document(doc, document_form::file));
}

TEST(EventDocumentTest, EventsWithoutObjectsMatchLibrary) {
  document_record doc;
  event_record ev;
  ev.ts = 1700000000;
  ev.ms = 250;
  ev.duration = 3;
  ev.distance = 812;
  ev.parties[0] = {"P1", -1200, 3400, boost::none};
  ev.parties[1] = {"V1", 15, -7, std::string("P2")};
  doc.events = {ev, ev};
  for (const document_form form : {document_form::file, document_form::standard_output}) {
    SCOPED_TRACE(form == document_form::file ? "file" : "standard output");
    std::mt19937_64 random(3);
    EXPECT_EQ(streamed_document(doc, form, random), library_document(doc, form));
  }
}

TEST(EventDocumentTest, RandomDocumentsMatchLibrary) {
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 random(seed);
    const document_record doc = random_document(random);
    for (const document_form form : {document_form::file, document_form::standard_output}) {
      SCOPED_TRACE(form == document_form::file ? "file" : "standard output");
      ASSERT_EQ(streamed_document(doc, form, random), library_document(doc, form));
    }
  }
}

TEST(EventDocumentTest, RefusesCallsOutOfOrder) {
  const document_event ev;
  const document_object obj;
  const struct {
    document_form form;
    const char* calls;  // e: add_event, o: add_object, f: finish; the last call must throw
    const char* why;
  } rows[] = {
      {document_form::standard_output, "o", "no objects in the events array"},
      {document_form::standard_output, "eo", "no objects after events either"},
      {document_form::file, "oe", "events after objects"},
      {document_form::file, "ff", "finish twice"},
      {document_form::file, "fe", "an event after the end"},
      {document_form::file, "eofo", "an object after the end"},
      {document_form::standard_output, "ff", "finish twice, events array"},
      {document_form::standard_output, "efe", "an event after the end, events array"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    event_document writer(row.form);
    std::string out;
    const std::string_view calls = row.calls;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const auto call = [&] {
        if (calls[i] == 'e') {
          writer.add_event(out, ev);
        } else if (calls[i] == 'o') {
          writer.add_object(out, obj);
        } else {
          writer.finish(out);
        }
      };
      if (i + 1 < calls.size()) {
        ASSERT_NO_THROW(call());
      } else {
        const std::size_t before = out.size();
        EXPECT_THROW(call(), vela::exception);
        EXPECT_EQ(out.size(), before) << "a refused call wrote";
      }
    }
  }
}
}  // namespace
}  // namespace vela
