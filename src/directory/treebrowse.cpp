#include "directory/treebrowse.h"

#include "directory/client/names.h"

#include <QString>

#include <array>
#include <utility>

namespace kvx::directory {

namespace {

struct ClassPicture {
    const char* baseClass;
    int index;
};

constexpr std::array<ClassPicture, 12> kClassPictures{{
    {"Volume", imgVolume},
    {"Country", imgCountry},
    {"Group", imgGroup},
    {"Organization", imgOrganization},
    {"Organizational Role", imgOrganizationalRole},
    {"Organizational Unit", imgOrganizationalUnit},
    {"Queue", imgQueue},
    {"Root", imgRoot},
    {"NCP Server", imgNcpServer},
    {"NDS Tree", imgNdsTree},
    {"User", imgUser},
    {"Alias", imgAlias},
}};

void reportFailure(const FailureReporter& report, const std::string& text, NWDSCCODE code) {
    if (report)
        report(text, code);
}

} // namespace

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() == b.size() && a == b)
        return true;
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

int imageIndexForClass(const std::string& baseClass) {
    for (const auto& picture : kClassPictures) {
        if (sameNameIgnoringCase(baseClass, picture.baseClass))
            return picture.index;
    }
    return imgOther;
}

std::string nameContextOf(bool isTopNode, const std::string& nodeText,
                          const std::vector<std::string>& ancestorTexts) {
    if (isTopNode)
        return kRootText;
    std::string context = nodeText;
    for (const auto& ancestor : ancestorTexts) {
        context += '.';
        context += ancestor;
    }
    return context;
}

std::string childDistinguishedName(const std::string& childName, const std::string& nameContext) {
    std::string dn = "." + childName;
    if (!sameNameIgnoringCase(nameContext, kRootText)) {
        dn += '.';
        dn += nameContext;
    }
    return dn;
}

bool mergeTreeName(std::vector<std::string>& list, const std::string& name) {
    if (name.empty())
        return false;
    for (const auto& existing : list) {
        if (sameNameIgnoringCase(existing, name))
            return false;
    }
    list.push_back(name);
    return true;
}

std::optional<std::vector<std::string>> gatherTreeList(const FailureReporter& report) {
    NWDSContextHandle context = 0;
    NWDSCCODE rc = NWDSCreateContextHandle(&context);
    if (rc != 0) {
        reportFailure(report, "Cannot NWDSCreateContextHandle", rc);
        return std::nullopt;
    }
    nuint32 connRef = 0;
    rc = NWCCGetPrimConnRef(&connRef);
    if (rc != 0) {
        reportFailure(report, "Cannot NWCCGetPrimConnRef", rc);
        NWDSFreeContext(context);
        return std::nullopt;
    }
    NWCONN_HANDLE conn = 0;
    rc = NWCCOpenConnByRef(connRef, 1, 0, &conn);
    if (rc != 0) {
        reportFailure(report, "Cannot NWCCOpenConnByRef", rc);
        NWDSFreeContext(context);
        return std::nullopt;
    }

    std::vector<std::string> trees{kDefaultTree};

    nint32 scanIndex = -1;
    for (;;) {
        std::string name;
        if (NWDSScanForAvailableTrees(context, conn, "*", &scanIndex, name) != 0)
            break;
        mergeTreeName(trees, name);
    }

    nuint32 scan = 0;
    if (NWAdvScanOpen(0x7802, &scan) == 0) {
        for (;;) {
            std::string name;
            if (NWAdvScanNext(scan, 255, name) != 0)
                break;
            mergeTreeName(trees, name);
        }
        NWAdvScanClose(scan);
    }

    // The context and connection served this gathering only.
    NWCCCloseConn(conn);
    NWDSFreeContext(context);
    return trees;
}

NWDSContextHandle openDirectoryContext(const std::string& treeChoice,
                                       const FailureReporter& report) {
    NWDSContextHandle context = 0;
    NWDSCCODE rc = NWDSCreateContextHandle(&context);
    if (rc != 0) {
        // Without a context every further step would fail as well: one failure, one message.
        reportFailure(report, "Cannot Create Context", rc);
        return 0;
    }
    if (!sameNameIgnoringCase(treeChoice, kDefaultTree)) {
        rc = NWDSSetContext(context, DCK_TREE_NAME, &treeChoice);
        if (rc != 0)
            reportFailure(report, "Cannot Set Context - tree name", rc);
    }
    nuint32 flags = 0;
    rc = NWDSGetContext(context, DCK_FLAGS, &flags);
    if (rc != 0)
        reportFailure(report, "Cannot Get Context", rc);
    flags |= DCV_TYPELESS_NAMES;
    rc = NWDSSetContext(context, DCK_FLAGS, &flags);
    if (rc != 0)
        reportFailure(report, "Cannot Set Context", rc);
    const std::string root = kRootText;
    rc = NWDSSetContext(context, DCK_NAME_CONTEXT, &root);
    if (rc != 0)
        reportFailure(report, "Cannot Set Context", rc);
    return context;
}

std::vector<ChildEntry> listContainers(NWDSContextHandle context, const std::string& nameContext,
                                       const FailureReporter& report) {
    std::vector<ChildEntry> children;

    NWDSCCODE rc = NWDSSetContext(context, DCK_NAME_CONTEXT, &nameContext);
    if (rc != 0)
        reportFailure(report, "Cannot Set Context", rc);

    pBuf_T buffer = nullptr;
    rc = NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buffer);
    if (rc != 0 || buffer == nullptr) {
        // Without a buffer there is nothing to list into.
        reportFailure(report, "NWDSAllocBuf", rc);
        return children;
    }

    nint32 iteration = -1;
    bool failed = false;
    do {
        if (NWDSList(context, "", &iteration, buffer) != 0)
            break;
        nuint32 count = 0;
        if (NWDSGetObjectCount(context, buffer, &count) != 0)
            break;
        for (nuint32 i = 0; i < count; ++i) {
            std::string name;
            nuint32 attrCount = 0;
            Object_Info_T info;
            if (NWDSGetObjectName(context, buffer, name, &attrCount, &info) != 0) {
                failed = true;
                break;
            }
            // A container is whatever holds entries, whatever its class (Active Directory's
            // "container" and "builtinDomain" among them).
            if ((info.objectFlags & DS_CONTAINER_ENTRY) == 0 && info.subordinateCount == 0)
                continue;
            ChildEntry child;
            child.name = std::move(name);
            child.record.baseClass = info.baseClass;
            child.record.distinguishedName = childDistinguishedName(child.name, nameContext);
            child.hasPlaceholder = info.subordinateCount > 0;
            child.imageIndex = imageIndexForClass(info.baseClass);
            children.push_back(std::move(child));
        }
    } while (!failed && iteration != -1);

    rc = NWDSFreeBuf(buffer);
    if (rc != 0)
        reportFailure(report, "NWDSFreeBuf", rc);
    return children;
}

bool containerNameWithin(const std::string& wanted, const std::string& name, bool exactly) {
    if (name.size() > wanted.size() || (exactly && name.size() != wanted.size()))
        return false;
    const std::size_t at = wanted.size() - name.size();
    if (!kvx::client::names::equalNoCase(std::string_view(wanted).substr(at), name))
        return false;
    std::size_t backslashes = 0;
    for (std::size_t i = at; i > 0 && wanted[i - 1] == '\\'; --i)
        ++backslashes;
    return backslashes % 2 == 0;
}

bool containerExists(NWDSContextHandle context, const std::string& wanted,
                     const FailureReporter& report) {
    std::string current; // the top
    std::string nameContext = kRootText;
    while (!containerNameWithin(wanted, current, true)) {
        const std::vector<ChildEntry> children = listContainers(context, nameContext, report);
        const ChildEntry* next = nullptr;
        for (const ChildEntry& child : children) {
            if (containerNameWithin(wanted, child.record.distinguishedName, false)) {
                next = &child;
                break;
            }
        }
        if (next == nullptr)
            return false;
        current = next->record.distinguishedName;
        nameContext = current.substr(1);
    }
    return true;
}

} // namespace kvx::directory
