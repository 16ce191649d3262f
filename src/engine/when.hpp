#pragma once
// `when` conditions over the bundle's facts: ||, &&, a leading !, != and ==,
// and bare fact names. Evaluated over views of the text; never fails.

#include <string_view>

#include "model/bundle.hpp"

namespace toln {

bool eval_when(std::string_view condition, const FactTable& facts);

}  // namespace toln
