#include "directory/schemaread.h"

#include "directory/client/names.h"
#include "directory/syntax.h"

namespace kvx::directory {

namespace {

// A result buffer and, for reads by name, a request buffer; both freed on every way out.
struct ReadBuffers {
    pBuf_T result = nullptr;
    pBuf_T request = nullptr;
    ReadBuffers() = default;
    ReadBuffers(const ReadBuffers&) = delete;
    ReadBuffers& operator=(const ReadBuffers&) = delete;
    ~ReadBuffers() {
        if (result != nullptr) {
            NWDSFreeBuf(result);
        }
        if (request != nullptr) {
            NWDSFreeBuf(request);
        }
    }
};

bool ok(NWDSCCODE rc, const char* callName, const FailureFn& failure) {
    if (rc != 0) {
        failure(callName, rc);
        return false;
    }
    return true;
}

bool hasRow(const std::vector<AttributeRow>& rows, const std::string& name) {
    for (const AttributeRow& row : rows) {
        if (kvx::client::names::equalNoCase(row.name, name)) {
            return true;
        }
    }
    return false;
}

// Prepares the buffers of a read by name: allocated, initialised for `operation`, holding `name`.
bool prepareNamedRead(NWDSContextHandle context, nuint32 operation, const std::string& name,
                      ReadBuffers& bufs, const FailureFn& failure) {
    return ok(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &bufs.result), "NWDSAllocBuf", failure) &&
           ok(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &bufs.request), "NWDSAllocBuf", failure) &&
           ok(NWDSInitBuf(context, operation, bufs.request), "NWDSInitBuf", failure) &&
           ok(NWDSPutClassName(context, bufs.request, name), "NWDSPutClassName", failure);
}

} // namespace

std::vector<std::string> readClassNames(NWDSContextHandle context, const FailureFn& failure) {
    std::vector<std::string> names;
    ReadBuffers bufs;
    if (!ok(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &bufs.result), "NWDSAllocBuf", failure)) {
        return names;
    }
    nint32 iteration = -1;
    std::string name;
    do {
        if (!ok(NWDSReadClassDef(context, DS_CLASS_DEF_NAMES, 1, nullptr, &iteration, bufs.result),
                "NWDSReadClassDef", failure)) {
            return names;
        }
        nuint32 count = 0;
        if (!ok(NWDSGetClassDefCount(context, bufs.result, &count), "NWDSGetClassDefCount",
                failure)) {
            return names;
        }
        for (nuint32 i = 0; i < count; ++i) {
            // A class name that cannot be read is reported and left out; reading goes on.
            if (ok(NWDSGetClassItem(context, bufs.result, name), "NWDSGetClassItem", failure)) {
                names.push_back(name);
            }
        }
    } while (iteration != -1);
    return names;
}

namespace {

// One attribute definition and the name the directory gives it.
bool readAttributeDefinition(NWDSContextHandle context, const std::string& attributeName,
                             Attr_Info_T& info, std::string& name, const FailureFn& failure) {
    ReadBuffers bufs;
    if (!prepareNamedRead(context, DSV_READ_ATTR_DEF, attributeName, bufs, failure)) {
        return false;
    }
    nint32 iteration = -1;
    do {
        if (!ok(NWDSReadAttrDef(context, DS_ATTR_DEF, 0, bufs.request, &iteration, bufs.result),
                "NWDSReadAttrDef", failure)) {
            return false;
        }
        nuint32 count = 0;
        if (!ok(NWDSGetAttrCount(context, bufs.result, &count), "NWDSGetAttrCount", failure)) {
            return false;
        }
        for (nuint32 i = 0; i < count; ++i) {
            if (!ok(NWDSGetAttrDef(context, bufs.result, name, &info), "NWDSGetAttrDef", failure)) {
                return false;
            }
        }
    } while (iteration != -1);
    return true;
}

} // namespace

bool GetAttributeDetails(NWDSContextHandle context, const std::string& attributeName,
                         Attr_Info_T& info, const FailureFn& failure) {
    std::string name;
    return readAttributeDefinition(context, attributeName, info, name, failure);
}

std::string AttributeOwnName(NWDSContextHandle context, const std::string& attributeName) {
    Attr_Info_T info;
    std::string name;
    if (!readAttributeDefinition(context, attributeName, info, name,
                                 [](const std::string&, NWDSCCODE) {}))
        return {};
    return name;
}

void gatherClassAttributes(NWDSContextHandle context, const std::string& className,
                           std::vector<AttributeRow>& rows, const FailureFn& failure) {
    ReadBuffers bufs;
    if (!prepareNamedRead(context, DSV_READ_CLASS_DEF, className, bufs, failure)) {
        return;
    }
    enum ItemList { SuperClasses, Containment, Naming, Mandatory, Optional, ListCount };
    nint32 iteration = -1;
    std::string defName;
    std::string item;
    do {
        if (!ok(NWDSReadClassDef(context, DS_CLASS_DEF, 0, bufs.request, &iteration, bufs.result),
                "NWDSReadClassDef", failure)) {
            return;
        }
        nuint32 defCount = 0;
        if (!ok(NWDSGetClassDefCount(context, bufs.result, &defCount), "NWDSGetClassDefCount",
                failure)) {
            return;
        }
        for (nuint32 d = 0; d < defCount; ++d) {
            Class_Info_T classInfo;
            if (!ok(NWDSGetClassDef(context, bufs.result, defName, &classInfo), "NWDSGetClassDef",
                    failure)) {
                return;
            }
            for (int list = SuperClasses; list < ListCount; ++list) {
                nuint32 itemCount = 0;
                if (!ok(NWDSGetClassItemCount(context, bufs.result, &itemCount),
                        "NWDSGetClassItemCount", failure)) {
                    return;
                }
                for (nuint32 i = 0; i < itemCount; ++i) {
                    if (!ok(NWDSGetClassItem(context, bufs.result, item), "NWDSGetClassItem",
                            failure)) {
                        return;
                    }
                    if (list == SuperClasses) {
                        gatherClassAttributes(context, item, rows, failure);
                    } else if (list != Containment && !hasRow(rows, item)) {
                        Attr_Info_T info;
                        AttributeRow row;
                        row.name = item;
                        // An attribute whose definition cannot be read (its failure has been
                        // shown) is still listed, as a multi-valued attribute of unknown syntax,
                        // so the user can choose it.
                        if (GetAttributeDetails(context, item, info, failure)) {
                            row.singleValued = (info.attrFlags & DS_SINGLE_VALUED_ATTR) != 0;
                            row.syntaxName = SyntaxName(info.attrSyntaxID);
                            row.sortKind = SyntaxSortKind(info.attrSyntaxID);
                            if (!kvx::client::names::equalNoCase(info.ldapName, item)) {
                                row.ldapName = info.ldapName;
                            }
                        } else {
                            row.syntaxName = SyntaxName(SYN_UNKNOWN);
                        }
                        rows.push_back(std::move(row));
                    }
                }
            }
        }
    } while (iteration != -1);
}

} // namespace kvx::directory
