// The texts of tree decoding faults: five message templates and their parts.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelta {

// What a faulty value was expected to be (the E of the templates).
inline constexpr std::string_view kExpectStringOrMap = "string or map";
inline constexpr std::string_view kExpectSingleKeyMap = "map with a single key";
inline constexpr std::string_view kExpectStructVariant = "struct variant";
inline constexpr std::string_view kExpectNewtypeVariant = "newtype variant";
inline constexpr std::string_view kExpectTupleVariant = "tuple variant";
inline constexpr std::string_view kExpectSubstring =
    "tuple variant ParameterExpansionType::Substring";
inline constexpr std::string_view kExpectSubstringPair =
    "tuple variant ParameterExpansionType::Substring with 2 elements";
inline constexpr std::string_view kExpectUnit = "unit";
inline constexpr std::string_view kExpectString = "a string";
inline constexpr std::string_view kExpectBoolean = "a boolean";
inline constexpr std::string_view kExpectCharacter = "a character";
inline constexpr std::string_view kExpectI32 = "i32";
inline constexpr std::string_view kExpectSequence = "a sequence";
inline constexpr std::string_view kExpectRedirect = "struct Redirect";
inline constexpr std::string_view kExpectRedirectArray = "struct Redirect with 3 elements";
inline constexpr std::string_view kExpectCasePattern = "struct CasePattern";
inline constexpr std::string_view kExpectCasePatternArray = "struct CasePattern with 2 elements";
inline constexpr std::string_view kExpectFewerElements = "fewer elements in array";

/// Description of a union kind written as a bare string where a payload is needed.
inline constexpr std::string_view kUnitVariant = "unit variant";

/// "missing field `F`".
std::string missing_field_message(std::string_view field);

/// "unknown variant `S`, expected LIST": LIST is "`A` or `B`" for two
/// kinds and "one of `A`, `B`, ..." for more. `name` is written as given
/// (made valid UTF-8 if it is not).
std::string unknown_variant_message(std::string_view name, std::span<const std::string_view> kinds);

/// "invalid type: U, expected E", U describing `value`.
std::string type_error(const nlohmann::json& value, std::string_view expected);
/// "invalid type: U, expected E" with a given description U.
std::string invalid_type_message(std::string_view unexpected, std::string_view expected);

/// "invalid value: U, expected E", U describing `value`.
std::string value_error(const nlohmann::json& value, std::string_view expected);
/// "invalid value: U, expected E" with a given description U.
std::string invalid_value_message(std::string_view unexpected, std::string_view expected);

/// "invalid length N, expected E".
std::string invalid_length_message(std::size_t length, std::string_view expected);

/// The description U of a JSON value: "null", "boolean `true`",
/// "integer `-3`", "floating point `1.5`", "string \"...\"" (see
/// append_string_description), "sequence" or "map".
std::string describe_value(const nlohmann::json& value);

/// The shortest digits that read back as `value`, written plainly when
/// 1e-5 <= |value| < 1e16 ("1.0", "0.00001", "120.5") and as digits, a
/// point after the first one unless it is alone, "e" and the exponent
/// otherwise ("1.5e-7", "1e20"). Zero is "0.0" (or "-0.0").
std::string format_float(double value);

/// Appends `string "TEXT"` with TEXT escaped for reading: a backslash before
/// '"' and '\\'; \t, \r, \n and \0 for those characters; \u{hex} (lower
/// case, no leading zeros) for every other character that
/// is_printable_scalar rejects. Ill-formed UTF-8 is first replaced by U+FFFD.
void append_string_description(std::string& out, std::string_view text);

/// The scalar value of a text holding exactly one Unicode scalar value;
/// nullopt for an empty text or a longer one. Ill-formed UTF-8 counts as its
/// U+FFFD replacements would.
std::optional<char32_t> single_scalar(std::string_view text);

}  // namespace zelta
