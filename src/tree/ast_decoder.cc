// Decoding of the raw JSON value of a request's tree into an AstNode.
#include "tree/ast_decoder.h"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "tree/decode_messages.h"

namespace zelta {
namespace {

using json = nlohmann::json;

class Decoder;

// One field of a record: its key, whether it must be present, and how its
// value is decoded into the record.
template <class Record>
struct Field {
  using Target = Record;
  std::string_view key;
  bool required;
  bool (*decode)(Decoder&, const json&, Record&);
};

template <class Pointer>
struct MemberOf;
template <class Record, class Member>
struct MemberOf<Member Record::*> {
  using Class = Record;
};

template <auto Member>
using RecordOf = typename MemberOf<decltype(Member)>::Class;

template <auto Member>
constexpr Field<RecordOf<Member>> field(std::string_view key);
template <auto Member>
constexpr Field<RecordOf<Member>> optional_node_field(std::string_view key);

// Walks the value depth first and stops at the first fault, whose message
// it keeps. Every decode function returns false exactly when it failed.
class Decoder {
 public:
  const std::string& error() const { return error_; }

  bool decode(const json& value, AstNode& out);

  bool decode(const json& value, AstNodePtr& out) {
    out = std::make_unique<AstNode>();
    return decode(value, *out);
  }

  // An optional child: null leaves it absent.
  bool decode_optional(const json& value, AstNodePtr& out) {
    if (value.is_null()) return true;
    return decode(value, out);
  }

  bool decode(const json& value, std::string& out) {
    if (!value.is_string()) return fail(type_error(value, kExpectString));
    out = value.get_ref<const std::string&>();
    return true;
  }

  bool decode(const json& value, bool& out) {
    if (!value.is_boolean()) return fail(type_error(value, kExpectBoolean));
    out = value.get<bool>();
    return true;
  }

  bool decode(const json& value, char32_t& out) {
    if (!value.is_string()) return fail(type_error(value, kExpectCharacter));
    auto c = single_scalar(value.get_ref<const std::string&>());
    if (!c) return fail(value_error(value, kExpectCharacter));
    out = *c;
    return true;
  }

  bool decode(const json& value, std::optional<std::int32_t>& out) {
    using Limits = std::numeric_limits<std::int32_t>;
    switch (value.type()) {
      case json::value_t::null:
        out.reset();
        return true;
      case json::value_t::number_integer: {
        const auto n = value.get<std::int64_t>();
        if (n < Limits::min() || n > Limits::max()) {
          return fail(value_error(value, kExpectI32));
        }
        out = static_cast<std::int32_t>(n);
        return true;
      }
      case json::value_t::number_unsigned: {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(Limits::max())) {
          return fail(value_error(value, kExpectI32));
        }
        out = static_cast<std::int32_t>(n);
        return true;
      }
      default:
        return fail(type_error(value, kExpectI32));
    }
  }

  template <class Element>
  bool decode(const json& value, std::vector<Element>& out) {
    if (!value.is_array()) return fail(type_error(value, kExpectSequence));
    Nest nest(*this);
    if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
    out.reserve(value.size());
    for (const json& item : value) {
      Element element{};
      if (!decode(item, element)) return false;
      out.push_back(std::move(element));
    }
    return true;
  }

  bool decode(const json& value, Redirect& out);
  bool decode(const json& value, CasePattern& out);
  bool decode(const json& value, RedirectKind& out);
  bool decode(const json& value, ProcessSubstitutionDirection& out);
  bool decode(const json& value, ParameterExpansionType& out);

 private:
  // Counts one level of JSON nesting for as long as it lives, when the
  // value it guards is a container (a bare string adds no level).
  class Nest {
   public:
    explicit Nest(Decoder& decoder, bool counts = true) : decoder_(decoder), step_(counts ? 1 : 0) {
      decoder_.depth_ += step_;
    }
    ~Nest() { decoder_.depth_ -= step_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;
    bool too_deep() const { return decoder_.depth_ > kMaxTreeNesting; }

   private:
    Decoder& decoder_;
    int step_;
  };

  // The kind named by a union value, and its payload (null for the bare
  // string form).
  struct Variant {
    std::size_t index = 0;
    const json* payload = nullptr;
  };

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  // Reads the name and payload of a union value (a bare string or a map of
  // one entry) and looks the name up among `names`. The caller holds a Nest
  // while it decodes the payload of the map form.
  bool read_variant(const json& value, std::span<const std::string_view> names, Variant& out) {
    const std::string* name = nullptr;
    if (value.is_string()) {
      name = &value.get_ref<const std::string&>();
      out.payload = nullptr;
    } else if (value.is_object()) {
      if (value.size() != 1) return fail(value_error(value, kExpectSingleKeyMap));
      auto entry = value.begin();
      name = &entry.key();
      out.payload = &entry.value();
    } else {
      return fail(type_error(value, kExpectStringOrMap));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == *name) {
        out.index = i;
        return true;
      }
    }
    return fail(unknown_variant_message(*name, names));
  }

  // The payload of a kind that carries none: only null (or the bare name).
  bool expect_unit(const Variant& variant) {
    if (variant.payload == nullptr || variant.payload->is_null()) return true;
    return fail(type_error(*variant.payload, kExpectUnit));
  }

  bool decode_substring(const json* payload, ParameterExpansionType& out);

  template <class Record, std::size_t N>
  bool decode_record(const json& value, Record& out, const std::array<Field<Record>, N>& fields);

  template <class Record, std::size_t N>
  bool decode_record_array(const json& value, Record& out,
                           const std::array<Field<Record>, N>& fields, std::string_view expect_all);

  template <class Node>
  static bool decode_kind(Decoder& decoder, const json* payload, AstNode& out);

  template <std::size_t... I>
  static constexpr auto kind_decoders(std::index_sequence<I...>);

  std::string error_;
  int depth_ = 0;
};

template <auto Member>
constexpr Field<RecordOf<Member>> field(std::string_view key) {
  return {key, true,
          [](Decoder& d, const json& v, RecordOf<Member>& r) { return d.decode(v, r.*Member); }};
}

template <auto Member>
constexpr Field<RecordOf<Member>> optional_node_field(std::string_view key) {
  return {key, false, [](Decoder& d, const json& v, RecordOf<Member>& r) {
            return d.decode_optional(v, r.*Member);
          }};
}

// The records, their fields in declaration order.

constexpr std::array kRedirectFields = {
    Field<Redirect>{"fd", false,
                    [](Decoder& d, const json& v, Redirect& r) { return d.decode(v, r.fd); }},
    field<&Redirect::kind>("kind"),
    field<&Redirect::file>("file"),
};

constexpr std::array kCasePatternFields = {
    field<&CasePattern::patterns>("patterns"),
    field<&CasePattern::body>("body"),
};

// Fields of each struct kind of AstNode; text kinds have none.
template <class Node>
constexpr auto kFieldsOf = nullptr;

template <>
constexpr std::array kFieldsOf<ast::CommandFields> = {
    field<&ast::CommandFields::name>("name"),
    field<&ast::CommandFields::args>("args"),
    field<&ast::CommandFields::single_quoted_args>("single_quoted_args"),
    field<&ast::CommandFields::redirects>("redirects"),
};
template <>
constexpr auto kFieldsOf<ast::Command> = kFieldsOf<ast::CommandFields>;
template <>
constexpr auto kFieldsOf<ast::FunctionCall> = kFieldsOf<ast::CommandFields>;
template <>
constexpr std::array kFieldsOf<ast::Pipeline> = {field<&ast::Pipeline::commands>("commands")};
template <>
constexpr std::array kFieldsOf<ast::List> = {
    field<&ast::List::statements>("statements"),
    field<&ast::List::operators>("operators"),
};
template <>
constexpr std::array kFieldsOf<ast::Assignment> = {
    field<&ast::Assignment::name>("name"),
    field<&ast::Assignment::value>("value"),
};
template <>
constexpr std::array kFieldsOf<ast::CommandSubstitution> = {
    field<&ast::CommandSubstitution::command>("command")};
template <>
constexpr std::array kFieldsOf<ast::ArithmeticExpansion> = {
    field<&ast::ArithmeticExpansion::expression>("expression")};
template <>
constexpr std::array kFieldsOf<ast::ArithmeticCommand> = {
    field<&ast::ArithmeticCommand::expression>("expression")};
template <>
constexpr std::array kFieldsOf<ast::Subshell> = {field<&ast::Subshell::list>("list")};
template <>
constexpr std::array kFieldsOf<ast::ExtGlobPattern> = {
    field<&ast::ExtGlobPattern::op>("operator"),
    field<&ast::ExtGlobPattern::patterns>("patterns"),
    field<&ast::ExtGlobPattern::suffix>("suffix"),
};
template <>
constexpr std::array kFieldsOf<ast::IfStatement> = {
    field<&ast::IfStatement::condition>("condition"),
    field<&ast::IfStatement::consequence>("consequence"),
    optional_node_field<&ast::IfStatement::alternative>("alternative"),
};
template <>
constexpr std::array kFieldsOf<ast::ElifBranch> = {
    field<&ast::ElifBranch::condition>("condition"),
    field<&ast::ElifBranch::consequence>("consequence"),
};
template <>
constexpr std::array kFieldsOf<ast::ElseBranch> = {
    field<&ast::ElseBranch::consequence>("consequence")};
template <>
constexpr std::array kFieldsOf<ast::CaseStatement> = {
    field<&ast::CaseStatement::expression>("expression"),
    field<&ast::CaseStatement::patterns>("patterns"),
};
template <>
constexpr std::array kFieldsOf<ast::Array> = {field<&ast::Array::elements>("elements")};
template <>
constexpr std::array kFieldsOf<ast::Function> = {
    field<&ast::Function::name>("name"),
    field<&ast::Function::body>("body"),
};
template <>
constexpr std::array kFieldsOf<ast::Export> = {
    field<&ast::Export::name>("name"),
    optional_node_field<&ast::Export::value>("value"),
};
template <>
constexpr std::array kFieldsOf<ast::Return> = {optional_node_field<&ast::Return::value>("value")};
template <>
constexpr std::array kFieldsOf<ast::ExtendedTest> = {
    field<&ast::ExtendedTest::condition>("condition")};
template <>
constexpr std::array kFieldsOf<ast::HistoryExpansion> = {
    field<&ast::HistoryExpansion::pattern>("pattern")};
template <>
constexpr std::array kFieldsOf<ast::Complete> = {
    field<&ast::Complete::options>("options"),
    field<&ast::Complete::command>("command"),
};
template <>
constexpr std::array kFieldsOf<ast::ForLoop> = {
    field<&ast::ForLoop::variable>("variable"),
    field<&ast::ForLoop::iterable>("iterable"),
    field<&ast::ForLoop::body>("body"),
};
template <>
constexpr std::array kFieldsOf<ast::WhileLoop> = {
    field<&ast::WhileLoop::condition>("condition"),
    field<&ast::WhileLoop::body>("body"),
};
template <>
constexpr std::array kFieldsOf<ast::UntilLoop> = {
    field<&ast::UntilLoop::condition>("condition"),
    field<&ast::UntilLoop::body>("body"),
};
template <>
constexpr std::array kFieldsOf<ast::Negation> = {field<&ast::Negation::command>("command")};
template <>
constexpr std::array kFieldsOf<ast::SelectStatement> = {
    field<&ast::SelectStatement::variable>("variable"),
    field<&ast::SelectStatement::items>("items"),
    field<&ast::SelectStatement::body>("body"),
};
template <>
constexpr std::array kFieldsOf<ast::Group> = {field<&ast::Group::list>("list")};
template <>
constexpr std::array kFieldsOf<ast::ParameterExpansion> = {
    field<&ast::ParameterExpansion::parameter>("parameter"),
    field<&ast::ParameterExpansion::expansion_type>("expansion_type"),
};
template <>
constexpr std::array kFieldsOf<ast::ProcessSubstitution> = {
    field<&ast::ProcessSubstitution::command>("command"),
    field<&ast::ProcessSubstitution::direction>("direction"),
};

// Text kinds carry a bare string as their payload.
template <class Node>
constexpr bool kIsTextKind =
    std::is_same_v<Node, ast::Comment> || std::is_same_v<Node, ast::StringLiteral> ||
    std::is_same_v<Node, ast::SingleQuotedString>;

template <class Record, std::size_t N>
bool Decoder::decode_record(const json& value, Record& out,
                            const std::array<Field<Record>, N>& fields) {
  Nest nest(*this);
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  // The map iterates in byte order of its keys, which fixes which fault of
  // several is reported.
  std::array<bool, N> seen{};
  for (auto entry = value.begin(); entry != value.end(); ++entry) {
    const std::string& key = entry.key();
    for (std::size_t i = 0; i < N; ++i) {
      if (fields[i].key != key) continue;
      seen[i] = true;
      if (!fields[i].decode(*this, entry.value(), out)) return false;
      break;
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i].required && !seen[i]) return fail(missing_field_message(fields[i].key));
  }
  return true;
}

template <class Record, std::size_t N>
bool Decoder::decode_record_array(const json& value, Record& out,
                                  const std::array<Field<Record>, N>& fields,
                                  std::string_view expect_all) {
  Nest nest(*this);
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  // Elements are taken in order; running out is noticed only when the next
  // field is wanted, so a faulty earlier element is reported first.
  for (std::size_t i = 0; i < N; ++i) {
    if (i >= value.size()) return fail(invalid_length_message(value.size(), expect_all));
    if (!fields[i].decode(*this, value[i], out)) return false;
  }
  if (value.size() > N) return fail(invalid_length_message(value.size(), kExpectFewerElements));
  return true;
}

bool Decoder::decode(const json& value, Redirect& out) {
  if (value.is_object()) return decode_record(value, out, kRedirectFields);
  if (value.is_array())
    return decode_record_array(value, out, kRedirectFields, kExpectRedirectArray);
  return fail(type_error(value, kExpectRedirect));
}

bool Decoder::decode(const json& value, CasePattern& out) {
  if (value.is_object()) return decode_record(value, out, kCasePatternFields);
  if (value.is_array()) {
    return decode_record_array(value, out, kCasePatternFields, kExpectCasePatternArray);
  }
  return fail(type_error(value, kExpectCasePattern));
}

const std::array<std::string_view, 8> kRedirectKindNames = [] {
  std::array<std::string_view, 8> names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    names[i] = redirect_kind_name(static_cast<RedirectKind>(i));
  }
  return names;
}();

bool Decoder::decode(const json& value, RedirectKind& out) {
  Nest nest(*this, value.is_object());
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  Variant variant;
  if (!read_variant(value, kRedirectKindNames, variant)) return false;
  if (!expect_unit(variant)) return false;
  out = static_cast<RedirectKind>(variant.index);
  return true;
}

bool Decoder::decode(const json& value, ProcessSubstitutionDirection& out) {
  Nest nest(*this, value.is_object());
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  Variant variant;
  if (!read_variant(value, kProcessSubstitutionDirectionNames, variant)) return false;
  if (!expect_unit(variant)) return false;
  out = static_cast<ProcessSubstitutionDirection>(variant.index);
  return true;
}

bool Decoder::decode(const json& value, ParameterExpansionType& out) {
  using Kind = ParameterExpansionType::Kind;
  Nest nest(*this, value.is_object());
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  Variant variant;
  if (!read_variant(value, kParameterExpansionKindNames, variant)) return false;
  out.kind = static_cast<Kind>(variant.index);
  switch (out.kind) {
    case Kind::kSimple:
    case Kind::kLength:
    case Kind::kIndirect:
    case Kind::kArrayAll:
    case Kind::kArrayStar:
    case Kind::kArrayLength:
      return expect_unit(variant);
    case Kind::kSubstring:
      return decode_substring(variant.payload, out);
    default:
      if (variant.payload == nullptr) {
        return fail(invalid_type_message(kUnitVariant, kExpectNewtypeVariant));
      }
      return decode(*variant.payload, out.text);
  }
}

bool Decoder::decode_substring(const json* payload, ParameterExpansionType& out) {
  if (payload == nullptr) return fail(invalid_type_message(kUnitVariant, kExpectTupleVariant));
  if (!payload->is_array()) return fail(type_error(*payload, kExpectTupleVariant));
  if (payload->empty()) return fail(invalid_type_message("null", kExpectSubstring));
  Nest nest(*this);
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  const json& items = *payload;
  if (!decode(items[0], out.offset)) return false;
  if (items.size() < 2) return fail(invalid_length_message(items.size(), kExpectSubstringPair));
  if (!decode(items[1], out.length)) return false;
  if (items.size() > 2) return fail(invalid_length_message(items.size(), kExpectFewerElements));
  return true;
}

template <class Node>
bool Decoder::decode_kind(Decoder& decoder, const json* payload, AstNode& out) {
  Node& node = out.value.emplace<Node>();
  if constexpr (kIsTextKind<Node>) {
    if (payload == nullptr) {
      return decoder.fail(invalid_type_message(kUnitVariant, kExpectNewtypeVariant));
    }
    return decoder.decode(*payload, node.text);
  } else {
    if (payload == nullptr) {
      return decoder.fail(invalid_type_message(kUnitVariant, kExpectStructVariant));
    }
    if (!payload->is_object()) {
      return decoder.fail(type_error(*payload, kExpectStructVariant));
    }
    const auto& fields = kFieldsOf<Node>;
    using Record = typename std::remove_cvref_t<decltype(fields)>::value_type::Target;
    return decoder.decode_record(*payload, static_cast<Record&>(node), fields);
  }
}

template <std::size_t... I>
constexpr auto Decoder::kind_decoders(std::index_sequence<I...>) {
  using Decode = bool (*)(Decoder&, const json*, AstNode&);
  return std::array<Decode, sizeof...(I)>{
      &decode_kind<std::variant_alternative_t<I, AstNode::Value>>...};
}

bool Decoder::decode(const json& value, AstNode& out) {
  static constexpr auto kDecoders = kind_decoders(std::make_index_sequence<kAstKindCount>());
  Nest nest(*this, value.is_object());
  if (nest.too_deep()) return fail(std::string(kTreeTooDeepMessage));
  Variant variant;
  if (!read_variant(value, kAstKindNames, variant)) return false;
  return kDecoders[variant.index](*this, variant.payload, out);
}

}  // namespace

Result<AstNode> decode_ast(const json& value) {
  Decoder decoder;
  AstNode node;
  if (!decoder.decode(value, node)) return fail(decoder.error());
  return node;
}

}  // namespace zelta
