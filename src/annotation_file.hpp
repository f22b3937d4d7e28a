#pragma once

// Reading helpers shared by everything that opens annotation files: whole-file JSON reads whose
// errors name the file, typed member access whose errors name the member, and the polygon
// string's tokens.

#include <kovra_utils/types.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kovra_utils::annotation_file {

/// The whole content of `path`; FileError when it cannot be opened or read.
std::string read_text_file(const std::string& path);

/// Deepest nesting of arrays and objects a document may have. Real files need a handful of
/// levels; the limit keeps every recursive walk of a document (writing, copying, messages) far
/// from the stack's end.
inline constexpr int kMaxJsonDepth = 256;

/// Subtype of the binary values by which an ordered_json document holds integer literals too
/// large for 64 bits: their exact text, so that they can be written back unchanged.
inline constexpr std::uint8_t kRawIntegerSubtype = 0x6b;

/// Parses `text`, the content of `path`. ContentError naming the file and the problem when it
/// is not JSON, holds a number beyond the range of a double, or nests arrays and objects deeper
/// than kMaxJsonDepth (checked before parsing). As ordered_json, integer literals beyond 64 bits
/// become binary values of kRawIntegerSubtype holding their text.
template <class Json>
Json parse_json_text(const std::string& text, const std::string& path);

/// The JSON document in `path`. FileError when unreadable, ContentError naming the file and the
/// parser's complaint when it is not JSON (as parse_json_text).
nlohmann::json read_json(const std::string& path);

/// As read_json, keeping the members of every object in file order and integer literals beyond
/// 64 bits as their text (see kRawIntegerSubtype).
nlohmann::ordered_json read_ordered_json(const std::string& path);

/// "<location> in <file>: <problem>", the one shape of every content message.
ContentError content_error(const std::string& location, const std::string& file,
                           const std::string& problem);

/// Location text of member `name` of the value at `location` (empty for the document root):
/// "detections", "detections"[3]."formatted_polygon".
std::string member_location(const std::string& location, std::string_view name);

/// Location text of element `index` of the array at `location`: "detections"[3].
std::string element_location(const std::string& location, std::size_t index);

/// The JSON type name used in messages ("string", "array", "object", "number", ...).
template <class Json>
std::string type_name(const Json& value) {
  return value.is_binary() ? "number" : value.type_name();  // binary: a kept integer literal
}

/// Member `name` of `object`, which must be present and satisfy `is_kind` (one of the
/// basic_json is_* predicates, described by `kind` in the message).
template <class Json, class Predicate>
const Json& require_member(const Json& object, std::string_view name, Predicate is_kind,
                           std::string_view kind, const std::string& location,
                           const std::string& file) {
  const std::string where = member_location(location, name);
  const auto found = object.find(name);
  if (found == object.end()) throw content_error(where, file, "missing member");
  if (!is_kind(*found)) {
    throw content_error(where, file,
                        "expected " + std::string(kind) + ", got " + type_name(*found));
  }
  return *found;
}

inline bool is_string(const auto& value) { return value.is_string(); }
inline bool is_array(const auto& value) { return value.is_array(); }
inline bool is_object(const auto& value) { return value.is_object(); }
inline bool is_integer(const auto& value) { return value.is_number_integer(); }
inline bool is_number(const auto& value) { return value.is_number(); }

/// `value` as JSON text for a message, bounded in length (about 80 characters) and depth:
/// nested arrays and objects beyond the second level show as [...] and {...}.
std::string brief_json(const nlohmann::json& value);

/// Splits a polygon string at white space: returns the identifier token (empty for a blank
/// string) and fills `coordinates` with the numbers after it (x, y, x, y, ...). Non-finite
/// values ("nan", "inf") are returned as read. ContentError at `location` in `file` for a token
/// that is not a number or an odd count of coordinates.
std::string_view parse_polygon(std::string_view text, std::vector<double>& coordinates,
                               const std::string& location, const std::string& file);

/// `document` as JSON text indented by four spaces, members in their order, non-ASCII as \uXXXX
/// escapes, floating numbers in shortest round-trip form, no final line break: the layout the
/// tracker writes and every rewrite of an annotation file keeps.
std::string to_indented_ascii_json(const nlohmann::ordered_json& document);

}  // namespace kovra_utils::annotation_file
