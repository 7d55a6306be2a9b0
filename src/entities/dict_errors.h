// The errors of from_dict: its fixed messages, and the conversion error of a value that fits
// none of the variants, built up from the innermost failure outwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "module/errors.h"

namespace tessary::entities {

using module::Error;

// The fixed messages of dict conversion, each with the exception kind it is raised as.
enum class DictFault : unsigned char {
  InvalidName,      // a node's dictionary has no "name" whose value is a str
  InvalidAttrs,     // ... no "attrs" whose value is a dict of str
  InvalidChildren,  // ... no "children" whose value is a sequence of dicts
  SizeChanged,      // a dictionary changed size while it was converted
  KeysChanged,      // a dictionary's keys changed while it was converted
  CircularReference,  // a dictionary contains itself, directly or further down
};

struct DictFaultText {
  Error::Kind kind;
  const char* text;
};

inline constexpr DictFaultText kDictFaultTexts[] = {
    {Error::Kind::Value, "Invalid name"},
    {Error::Kind::Value, "Invalid attrs"},
    {Error::Kind::Value, "Invalid children"},
    {Error::Kind::Panic, "dictionary changed size during iteration"},
    {Error::Kind::Panic, "dictionary keys changed during iteration"},
    {Error::Kind::Value, "Circular reference detected"},
};

[[gnu::cold]] Error dict_fault(DictFault f);

// The pieces of a conversion error's text.
namespace dict_text {
inline constexpr std::string_view kUnionHead =
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";
inline constexpr std::string_view kVariantString = "\n- variant String (String): ";
inline constexpr std::string_view kVariantVec = "\n- variant Vec (Vec): ";
inline constexpr std::string_view kVariantNullable = "\n- variant NullableString (NullableString): ";
inline constexpr std::string_view kVariantMap = "\n- variant Map (Map): ";
inline constexpr std::string_view kFieldHead = "TypeError: failed to extract field HashmapTypes::";
inline constexpr std::string_view kFieldTail = ".0, caused by ";
inline constexpr std::string_view kCausedBy = ", caused by ";
inline constexpr std::string_view kStrFailed = "<exception str() failed>";
}  // namespace dict_text

// A failed conversion on its way up. Either a plain error (a type mismatch or an interpreter
// exception), or a union error, whose message is kept in pieces: a union error around a nested
// one only adds a piece at each end, so an error from deep inside costs time linear in its
// length instead of being copied once per level. The message is `front` read backwards, then
// `back` in order.
struct Failure {
  bool is_union = false;
  Error plain;
  std::vector<std::string> front;  // innermost first
  std::vector<std::string> back;   // innermost first
};

Failure plain_failure(Error e);

// A failure printed as "Type: message", then ", caused by " and each cause printed the same way.
std::string describe(const Error& e);

// "TypeError: failed to extract field HashmapTypes::{variant}.0, caused by {cause}".
std::string field_reason(const char* variant, const std::string& cause);

// The union error for a value that converted to no variant; `vec` is the Vec variant's failure.
Failure union_failure(const std::string& string_reason, Failure vec, const std::string& nullable_reason,
                      const std::string& map_reason);

// The error a failure of the whole conversion is raised as: a conversion error of `dict_`, or,
// for a violated invariant (a dictionary changed while converted), that internal error as is.
Error conversion_error(Failure f);

}  // namespace tessary::entities
