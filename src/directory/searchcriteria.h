// The check of a report's search filter before a run: it must read, and every attribute it
// names must be known to the tree's schema (an unknown name, a typing error most likely, would
// otherwise quietly match nothing).
#pragma once

#include "directory/client/nwdsclient.h"

#include <cstddef>
#include <string>

namespace kvx::directory {

// What is wrong with a search filter: the message for the user and where in the text the fault
// lies, as a 1-based character position (0 when it has no one place).
struct SearchFilterFault {
    std::string message;
    std::size_t position = 0;
};

// An empty message when `filterText` is empty (no filter) or fine; otherwise the message:
//   "The search filter cannot be read at position <n>: <fault>."  (position n)
//   "The search filter names an attribute the directory does not know: <name>"  (the name's)
//   what the tree cannot answer as written (NWDSCheckSearchFilter), e.g.
//   "The search filter compares "Login Disabled" with "yes", which is not of its form: TRUE or
//   FALSE."  (the position of the first name it quotes, where the filter writes it so)
// A failure of the schema read itself is not the filter's fault: the run goes on and meets it.
SearchFilterFault FindSearchFilterFault(NWDSContextHandle context, const std::string& filterText);
// The message of FindSearchFilterFault alone.
std::string CheckSearchFilter(NWDSContextHandle context, const std::string& filterText);

// After a report that found no object: a notice when its filter orders (>=, <=) by an attribute
// the schema gives no ordering rule (a server that matches by itself may answer such a filter
// with nothing); "" otherwise.
std::string EmptyReportNotice(NWDSContextHandle context, const std::string& filterText);

} // namespace kvx::directory
