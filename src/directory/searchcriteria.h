// The check of a report's search filter before a run: it must read, and every attribute it
// names must be known to the tree's schema (an unknown name, a typing error most likely, would
// otherwise quietly match nothing).
#pragma once

#include "directory/client/nwdsclient.h"

#include <string>

namespace kvx::directory {

// "" when `filterText` is empty (no filter) or fine; otherwise the message for the user:
//   "The search filter cannot be read at position <n>: <fault>."
//   "The search filter names an attribute the directory does not know: <name>"
//   what the tree cannot answer as written (NWDSCheckSearchFilter), e.g.
//   "The search filter compares "Login Disabled" with "yes", which is not of its form: TRUE or
//   FALSE."
// A failure of the schema read itself is not the filter's fault: the run goes on and meets it.
std::string CheckSearchFilter(NWDSContextHandle context, const std::string& filterText);

// After a report that found no object: a notice when its filter orders (>=, <=) by an attribute
// the schema gives no ordering rule (a server that matches by itself may answer such a filter
// with nothing); "" otherwise.
std::string EmptyReportNotice(NWDSContextHandle context, const std::string& filterText);

} // namespace kvx::directory
