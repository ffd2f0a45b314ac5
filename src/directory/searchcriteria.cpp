#include "directory/searchcriteria.h"

#include "directory/client/names.h"
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

// The 1-based character position of the first place `name` is written in `text` (ignoring the
// case of a to z), 0 when it is not found as written (a quoted name with escapes).
std::size_t characterPosition(const std::string& text, const std::string& name) {
    if (name.empty() || name.size() > text.size())
        return 0;
    for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
        if (!kvx::client::names::equalNoCase(std::string_view(text).substr(at, name.size()), name))
            continue;
        std::size_t characters = 1;
        for (std::size_t i = 0; i < at; ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
                ++characters;
        }
        return characters;
    }
    return 0;
}

} // namespace

SearchFilterFault FindSearchFilterFault(NWDSContextHandle context, const std::string& filterText) {
    if (filterText.find_first_not_of(" \t") == std::string::npos)
        return {};
    kvx::client::FilterNode tree;
    kvx::client::FilterParseError error;
    if (!kvx::client::parseSearchFilter(filterText, tree, error)) {
        return {"The search filter cannot be read at position " + std::to_string(error.position) +
                    ": " + error.message + ".",
                error.position};
    }
    std::vector<std::string> names;
    collectNames(tree, names);
    for (const std::string& name : names) {
        if (readAttributeName(context, name) == ERR_NO_SUCH_ATTRIBUTE)
            return {"The search filter names an attribute the directory does not know: " + name,
                    characterPosition(filterText, name)};
    }
    // What the tree cannot answer as written (a value not of its attribute's form, an operation
    // without a matching rule where the tree matches by itself).
    // The fault lies where the first name it quotes is written in the filter.
    std::string fault;
    if (NWDSCheckSearchFilter(context, tree, fault) == 0 && !fault.empty()) {
        std::size_t position = 0;
        const std::size_t open = fault.find('"');
        const std::size_t close = open == std::string::npos ? open : fault.find('"', open + 1);
        if (close != std::string::npos)
            position = characterPosition(filterText, fault.substr(open + 1, close - open - 1));
        return {fault + ".", position};
    }
    return {};
}

std::string CheckSearchFilter(NWDSContextHandle context, const std::string& filterText) {
    return FindSearchFilterFault(context, filterText).message;
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
