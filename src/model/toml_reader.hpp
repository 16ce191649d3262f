#pragma once
// The record reader: walks a parsed TOML document into the bundle records.
// Internal to the model; only parse_bundle includes it.

#include <optional>
#include <string>
#include <toml++/toml.h>

#include "model/bundle.hpp"
#include "model/toml_fault.hpp"

namespace toln {

struct ReadFault {
  std::string message;
  TextPosition begin;
  TextPosition end;
};

// Reads the root table as a Bundle. Strings are moved out of the document
// and each resource's table is emptied once read, so the document and the
// records are not both whole in memory. The first fault in document order
// ends the reading.
std::optional<ReadFault> read_bundle(toml::table& root, Bundle& out);

}  // namespace toln
