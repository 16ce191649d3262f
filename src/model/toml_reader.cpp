#include "model/toml_reader.hpp"

#include <algorithm>
#include <array>
#include <bitset>

#include "model/toml_value.hpp"
#include "text/quoted.hpp"

namespace toln {
namespace {

using Fault = std::optional<ReadFault>;

TextPosition position(const toml::source_position& p) { return {p.line, p.column}; }

bool before(const toml::source_position& a, const toml::source_position& b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

std::string describe(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return "string " + quoted_text(node.as_string()->get());
    case toml::node_type::integer: return "integer `" + std::to_string(node.as_integer()->get()) + "`";
    case toml::node_type::floating_point:
      return "floating point `" + float_text_with_point(node.as_floating_point()->get()) + "`";
    case toml::node_type::boolean: return std::string("boolean `") + (node.as_boolean()->get() ? "true" : "false") + "`";
    case toml::node_type::array: return "sequence";
    default: return "map";
  }
}

ReadFault fault_at(const toml::node& node, std::string message) {
  return {std::move(message), position(node.source().begin), position(node.source().end)};
}

ReadFault wrong_type(const toml::node& node, std::string_view expected) {
  return fault_at(node, "invalid type: " + describe(node) + ", expected " + std::string(expected));
}

ReadFault missing_field(const toml::table& table, std::string_view field, bool is_root) {
  std::string message = "missing field `" + std::string(field) + "`";
  if (is_root) return {std::move(message), {1, 1}, {1, 1}};
  return fault_at(table, std::move(message));
}

// The table's keys that name a field, in document order.
template <std::size_t N>
struct FoundFields {
  struct Entry {
    std::size_t index;
    toml::node* node;
    toml::source_position at;
  };
  std::array<Entry, N> entries{};
  std::size_t count = 0;
  std::bitset<N> seen;

  FoundFields(toml::table& table, const std::array<std::string_view, N>& names) {
    for (auto&& [key, node] : table) {
      const auto it = std::find(names.begin(), names.end(), key.str());
      if (it == names.end()) continue;
      const auto index = static_cast<std::size_t>(it - names.begin());
      entries[count++] = {index, &node, key.source().begin};
      seen.set(index);
    }
    // At most nine entries: an insertion sort by key position.
    for (std::size_t i = 1; i < count; ++i) {
      for (std::size_t j = i; j > 0 && before(entries[j].at, entries[j - 1].at); --j) std::swap(entries[j], entries[j - 1]);
    }
  }
  auto begin() { return entries.begin(); }
  auto end() { return entries.begin() + static_cast<std::ptrdiff_t>(count); }
};

Fault read_string(toml::node& node, std::string& out) {
  auto* value = node.as_string();
  if (!value) return wrong_type(node, "a string");
  out = std::move(value->get());
  return std::nullopt;
}

Fault read_optional_string(toml::node& node, std::optional<std::string>& out) {
  std::string text;
  if (auto fault = read_string(node, text)) return fault;
  out = std::move(text);
  return std::nullopt;
}

Fault read_bool(toml::node& node, bool& out) {
  auto* value = node.as_boolean();
  if (!value) return wrong_type(node, "a boolean");
  out = value->get();
  return std::nullopt;
}

Fault read_string_list(toml::node& node, std::vector<std::string>& out) {
  auto* array = node.as_array();
  if (!array) return wrong_type(node, "a sequence");
  out.reserve(array->size());
  for (auto& element : *array) {
    if (auto fault = read_string(element, out.emplace_back())) return fault;
  }
  return std::nullopt;
}

TomlValue to_value(toml::node& node);

// The library's table is ordered by key byte-wise as ours is, so every entry
// goes at the end.
void read_table_values(toml::table& table, TomlTable& out) {
  for (auto&& [key, value] : table) out.emplace_hint(out.end(), std::string(key.str()), to_value(value));
}

TomlValue to_value(toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return {std::move(node.as_string()->get())};
    case toml::node_type::integer: return {node.as_integer()->get()};
    case toml::node_type::floating_point: return {node.as_floating_point()->get()};
    case toml::node_type::boolean: return {node.as_boolean()->get()};
    case toml::node_type::date: {
      const auto& d = node.as_date()->get();
      return {TomlDateTime{TomlDate{d.year, d.month, d.day}, std::nullopt, std::nullopt}};
    }
    case toml::node_type::time: {
      const auto& t = node.as_time()->get();
      return {TomlDateTime{std::nullopt, TomlTime{t.hour, t.minute, t.second, t.nanosecond}, std::nullopt}};
    }
    case toml::node_type::date_time: {
      const auto& dt = node.as_date_time()->get();
      TomlDateTime value{TomlDate{dt.date.year, dt.date.month, dt.date.day},
                         TomlTime{dt.time.hour, dt.time.minute, dt.time.second, dt.time.nanosecond}, std::nullopt};
      if (dt.offset) value.offset_minutes = dt.offset->minutes;
      return {value};
    }
    case toml::node_type::array: {
      TomlArray array;
      array.reserve(node.as_array()->size());
      for (auto& element : *node.as_array()) array.push_back(to_value(element));
      return {std::move(array)};
    }
    default: {
      TomlTable table;
      read_table_values(*node.as_table(), table);
      return {std::move(table)};
    }
  }
}

// A table whose every value is read by read_entry.
template <class Map, class ReadEntry>
Fault read_table_of(toml::node& node, Map& out, ReadEntry read_entry) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "a map");
  // Entries in document order, so that the first faulty one is reported.
  std::vector<std::pair<toml::source_position, std::pair<const toml::key*, toml::node*>>> entries;
  entries.reserve(table->size());
  for (auto&& [key, value] : *table) entries.push_back({key.source().begin, {&key, &value}});
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return before(a.first, b.first); });
  for (auto& [at, entry] : entries) {
    typename Map::mapped_type value{};
    if (auto fault = read_entry(*entry.second, value)) return fault;
    out.emplace(std::string(entry.first->str()), std::move(value));
  }
  return std::nullopt;
}

Fault read_param_spec(toml::node& node, ParamSpec& out) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "struct ParamSpec");
  static constexpr std::array<std::string_view, 4> kNames = {"type", "required", "default", "enum"};
  FoundFields<4> found(*table, kNames);
  for (auto& field : found) {
    Fault fault;
    switch (field.index) {
      case 0: fault = read_string(*field.node, out.type); break;
      case 1: fault = read_bool(*field.node, out.required); break;
      case 2: out.default_value = to_value(*field.node); break;
      case 3: fault = read_string_list(*field.node, out.enum_values.emplace()); break;
    }
    if (fault) return fault;
  }
  return std::nullopt;
}

Fault read_params(toml::node& node, ParamTable& out) { return read_table_of(node, out, read_param_spec); }

Fault read_resource_def(toml::node& node, ResourceDef& out) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "struct ResourceDef");
  static constexpr std::array<std::string_view, 4> kNames = {"description", "params", "check", "apply"};
  FoundFields<4> found(*table, kNames);
  for (auto& field : found) {
    Fault fault;
    switch (field.index) {
      case 0: fault = read_string(*field.node, out.description); break;
      case 1: fault = read_params(*field.node, out.params); break;
      case 2: fault = read_string(*field.node, out.check); break;
      case 3: fault = read_string(*field.node, out.apply); break;
    }
    if (fault) return fault;
  }
  for (std::size_t required : {2, 3}) {
    if (!found.seen[required]) return missing_field(*table, kNames[required], false);
  }
  return std::nullopt;
}

Fault read_provider_def(toml::node& node, ProviderDef& out) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "struct ProviderDef");
  static constexpr std::array<std::string_view, 4> kNames = {"description", "interpreter", "source", "params"};
  FoundFields<4> found(*table, kNames);
  for (auto& field : found) {
    Fault fault;
    switch (field.index) {
      case 0: fault = read_string(*field.node, out.description); break;
      case 1: fault = read_string_list(*field.node, out.interpreter); break;
      case 2: fault = read_string(*field.node, out.source); break;
      case 3: fault = read_params(*field.node, out.params); break;
    }
    if (fault) return fault;
  }
  for (std::size_t required : {1, 2}) {
    if (!found.seen[required]) return missing_field(*table, kNames[required], false);
  }
  return std::nullopt;
}

Fault read_props(toml::node& node, TomlTable& out) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "a map");
  read_table_values(*table, out);
  return std::nullopt;
}

Fault read_resource(toml::node& node, ResolvedResource& out) {
  auto* table = node.as_table();
  if (!table) return wrong_type(node, "struct ResolvedResource");
  static constexpr std::array<std::string_view, 9> kNames = {
      "resource_type", "name", "props", "after", "notify", "when", "handler", "register", "sensitive"};
  FoundFields<9> found(*table, kNames);
  for (auto& field : found) {
    Fault fault;
    switch (field.index) {
      case 0: fault = read_string(*field.node, out.resource_type); break;
      case 1: fault = read_string(*field.node, out.name); break;
      case 2: fault = read_props(*field.node, out.props); break;
      case 3: fault = read_string_list(*field.node, out.after); break;
      case 4: fault = read_string_list(*field.node, out.notify); break;
      case 5: fault = read_optional_string(*field.node, out.when); break;
      case 6: fault = read_bool(*field.node, out.handler); break;
      case 7: fault = read_optional_string(*field.node, out.register_name); break;
      case 8: fault = read_bool(*field.node, out.sensitive); break;
    }
    if (fault) return fault;
  }
  for (std::size_t required : {0, 1, 2}) {
    if (!found.seen[required]) return missing_field(*table, kNames[required], false);
  }
  return std::nullopt;
}

Fault read_resources(toml::node& node, std::vector<ResolvedResource>& out) {
  auto* array = node.as_array();
  if (!array) return wrong_type(node, "a sequence");
  out.reserve(array->size());
  for (auto& element : *array) {
    if (auto fault = read_resource(element, out.emplace_back())) return fault;
    if (auto* table = element.as_table()) table->clear();
  }
  return std::nullopt;
}

}  // namespace

std::optional<ReadFault> read_bundle(toml::table& root, Bundle& out) {
  static constexpr std::array<std::string_view, 5> kNames = {"host", "resources", "facts", "resource_defs",
                                                             "provider_defs"};
  FoundFields<5> found(root, kNames);
  for (auto& field : found) {
    Fault fault;
    switch (field.index) {
      case 0: fault = read_string(*field.node, out.host); break;
      case 1: fault = read_resources(*field.node, out.resources); break;
      case 2: fault = read_table_of(*field.node, out.facts, read_string); break;
      case 3: fault = read_table_of(*field.node, out.resource_defs, read_resource_def); break;
      case 4: fault = read_table_of(*field.node, out.provider_defs, read_provider_def); break;
    }
    if (fault) return fault;
  }
  for (std::size_t required : {0, 1}) {
    if (!found.seen[required]) return missing_field(root, kNames[required], true);
  }
  return std::nullopt;
}

}  // namespace toln
