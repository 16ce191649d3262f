#pragma once
// The records a bundle is read into.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/toml_value.hpp"

namespace toln {

struct ParamSpec {
  std::string type = "string";
  bool required = false;
  std::optional<TomlValue> default_value;             // key "default"
  std::optional<std::vector<std::string>> enum_values;  // key "enum"
};

using ParamTable = std::map<std::string, ParamSpec, std::less<>>;

struct ResourceDef {
  std::string description;
  ParamTable params;
  std::string check;
  std::string apply;
};

struct ProviderDef {
  std::string description;
  std::vector<std::string> interpreter;
  std::string source;
  ParamTable params;
};

struct ResolvedResource {
  std::string resource_type;
  std::string name;
  TomlTable props;
  std::vector<std::string> after;
  std::vector<std::string> notify;
  std::optional<std::string> when;
  bool handler = false;
  std::optional<std::string> register_name;  // key "register"
  bool sensitive = false;
};

using FactTable = std::map<std::string, std::string, std::less<>>;
using ResourceDefTable = std::map<std::string, ResourceDef, std::less<>>;
using ProviderDefTable = std::map<std::string, ProviderDef, std::less<>>;

struct Bundle {
  std::string host;
  std::vector<ResolvedResource> resources;
  FactTable facts;
  ResourceDefTable resource_defs;
  ProviderDefTable provider_defs;
};

// The resource type, a full stop and the name, joined as they stand.
inline std::string resource_id(const ResolvedResource& r) { return r.resource_type + "." + r.name; }

}  // namespace toln
