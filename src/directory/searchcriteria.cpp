#include "directory/searchcriteria.h"

#include "directory/client/searchfilter.h"

#include <vector>

namespace kvx::directory {

namespace {

void collectNames(const kvx::client::FilterNode& f, std::vector<std::string>& out) {
    if (!f.attribute.empty())
        out.push_back(f.attribute);
    for (const auto& c : f.children)
        collectNames(c, out);
}

// ERR_NO_SUCH_ATTRIBUTE when the schema has no attribute of that name, 0 when it has, another
// code when the schema could not be asked.
NWDSCCODE readAttributeName(NWDSContextHandle context, const std::string& name) {
    pBuf_T names = nullptr;
    pBuf_T defs = nullptr;
    NWDSCCODE rc = NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names);
    if (rc == 0)
        rc = NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &defs);
    if (rc == 0)
        rc = NWDSInitBuf(context, DSV_READ_ATTR_DEF, names);
    if (rc == 0)
        rc = NWDSPutAttrName(context, names, name);
    nint32 iteration = -1;
    if (rc == 0)
        rc = NWDSReadAttrDef(context, DS_ATTR_DEF_NAMES, 0, names, &iteration, defs);
    if (rc == 0 && iteration != -1) {
        // One name asked, one answer: nothing more is wanted of the iteration.
        while (rc == 0 && iteration != -1)
            rc = NWDSReadAttrDef(context, DS_ATTR_DEF_NAMES, 0, names, &iteration, defs);
    }
    if (defs)
        NWDSFreeBuf(defs);
    if (names)
        NWDSFreeBuf(names);
    return rc;
}

} // namespace

std::string CheckSearchFilter(NWDSContextHandle context, const std::string& filterText) {
    if (filterText.find_first_not_of(" \t") == std::string::npos)
        return {};
    kvx::client::FilterNode tree;
    kvx::client::FilterParseError error;
    if (!kvx::client::parseSearchFilter(filterText, tree, error)) {
        return "The search filter cannot be read at position " + std::to_string(error.position) +
               ": " + error.message + ".";
    }
    std::vector<std::string> names;
    collectNames(tree, names);
    for (const std::string& name : names) {
        if (readAttributeName(context, name) == ERR_NO_SUCH_ATTRIBUTE)
            return "The search filter names an attribute the directory does not know: " + name;
    }
    // What the tree cannot answer as written (a value not of its attribute's form, an operation
    // without a matching rule where the tree matches by itself).
    std::string fault;
    if (NWDSCheckSearchFilter(context, tree, fault) == 0 && !fault.empty())
        return fault + ".";
    return {};
}

std::string EmptyReportNotice(NWDSContextHandle context, const std::string& filterText) {
    kvx::client::FilterNode tree;
    kvx::client::FilterParseError error;
    if (filterText.find_first_not_of(" \t") == std::string::npos ||
        !kvx::client::parseSearchFilter(filterText, tree, error))
        return {};
    std::string fault;
    std::vector<std::string> unordered;
    if (NWDSCheckSearchFilter(context, tree, fault, &unordered) != 0 || unordered.empty())
        return {};
    std::string names;
    for (const std::string& name : unordered)
        names += (names.empty() ? "\"" : ", \"") + name + "\"";
    return "No object was found. The search filter orders by " + names +
           (unordered.size() == 1 ? ", which has" : ", which have") +
           " no ordering rule in the directory's schema";
}

} // namespace kvx::directory
