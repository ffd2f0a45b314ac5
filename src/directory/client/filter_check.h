// What a search filter means under a tree's schema, before it runs: the matching rule each item
// uses, and the faults that would make a filter quietly match nothing.
#pragma once

#include "matching.h"
#include "schema_text.h"
#include "searchfilter.h"

#include <string>

namespace kvx::client {

// The rule an item's operation uses under the attribute's definition: SUBSTR for substrings,
// ORDERING for >= and <=, EQUALITY otherwise (Class for an object class attribute).
matching::Rule itemRule(const FilterNode& item, const schema::AttributeTypeDef& def);

// Whether an approximate match (~=) is evaluated by the directory itself under `rule`: only where
// it is an equality match (a server's approximate rules for text have no standard definition).
bool approxAsEquality(matching::Rule rule);

// "" when `filter` can run as written, else the message for the user. On every backend: an
// assertion value not of its attribute's form. With `evaluatedHere` (the embedded directory,
// which matches itself): also an operation the schema gives the attribute no rule for, and an
// approximate match on text. Unknown attributes are left to the caller's own check.
std::string filterFault(const FilterNode& filter, const schema::Schema& schema, bool evaluatedHere);

// The attributes of `filter` whose >= or <= the schema gives no ordering rule, by the names the
// filter gives them (each once); for a notice when a server answers such a filter with nothing.
std::vector<std::string> unorderedAttributes(const FilterNode& filter,
                                             const schema::Schema& schema);

} // namespace kvx::client
