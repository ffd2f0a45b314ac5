#include "directory/syntax.h"

#include <array>

namespace kvx {

namespace {

constexpr std::array<SyntaxRow, SyntaxTableRows> kSyntaxTable = {{
    {"Unknown", SortKindText},
    {"Dist_Name", SortKindText},
    {"CE_String", SortKindText},
    {"CI_String", SortKindText},
    {"PR_String", SortKindText},
    {"NU_String", SortKindText},
    {"CI_List", SortKindText},
    {"Boolean", SortKindText},
    {"Integer", SortKindNumber},
    {"Octet_String", SortKindText},
    {"Tel_Number", SortKindText},
    {"Fax_Number", SortKindText},
    {"Net_Address", SortKindText},
    {"Octet_List", SortKindText},
    {"Email_Address", SortKindText},
    {"Path", SortKindText},
    {"Replica_Pointer", SortKindText},
    {"Object_Acl", SortKindText},
    {"PO_Address", SortKindText},
    {"Timestamp", SortKindDate},
    {"Class_Name", SortKindText},
    {"Stream", SortKindText},
    {"Counter", SortKindNumber},
    {"Back_Link", SortKindText},
    {"Time", SortKindDate},
    {"Typed_Name", SortKindText},
    {"Hold", SortKindText},
    {"Interval", SortKindNumber},
    {"Syntax_Count", SortKindText},
}};

} // namespace

const SyntaxRow* SyntaxTableRow(nuint32 syntax) {
    if (syntax >= kSyntaxTable.size())
        return nullptr;
    return &kSyntaxTable[syntax];
}

std::string SyntaxName(nuint32 syntax) {
    if (const SyntaxRow* row = SyntaxTableRow(syntax))
        return row->name;
    return "Syntax " + std::to_string(syntax);
}

int SyntaxSortKind(nuint32 syntax) {
    if (const SyntaxRow* row = SyntaxTableRow(syntax))
        return row->sortKind;
    return SortKindText;
}

} // namespace kvx
