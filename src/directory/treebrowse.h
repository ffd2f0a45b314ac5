// Widget-free logic of container tree browsing: node records, pictures by base class, the names
// a node stands for, the tree list, and the listing of one branch through the client calls.
#pragma once

#include "directory/client/nwdsclient.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvx::directory {

// The record every container node carries (the "Loading..." placeholder has none).
struct NodeRecord {
    std::string baseClass;         // e.g. "Organizational Unit"; "Root" for the top node
    std::string distinguishedName; // absolute, with a leading period (".Sales.Acme"); "" at the top
};

inline constexpr const char* kRootText = "[root]";
inline constexpr const char* kRootClass = "Root";
inline constexpr const char* kPlaceholderText = "Loading...";
inline constexpr const char* kDefaultTree = "Default";

// Picture numbers of the container image table.
enum ImageIndex : int {
    imgVolume = 0,
    imgCountry = 1,
    imgGroup = 2,
    imgOrganization = 3,
    imgOrganizationalRole = 4,
    imgOrganizationalUnit = 5,
    imgQueue = 6,
    imgRoot = 7,
    imgNcpServer = 8,
    imgNdsTree = 9,
    imgUser = 10,
    imgAlias = 11,
    imgOther = 12,
    imageCount = 13,
};

// Picture for an object's base class, compared without regard to case.
int imageIndexForClass(const std::string& baseClass);

// True when two names are equal without regard to the case of their letters (any script).
bool sameNameIgnoringCase(const std::string& a, const std::string& b);

// The name context a node's children are listed in: "[root]" for the top node, else the node's
// text followed by ".<ancestor text>" for each ancestor below the top node, nearest first.
// `ancestorTexts` runs from the parent upwards and excludes the top node.
std::string nameContextOf(bool isTopNode, const std::string& nodeText,
                          const std::vector<std::string>& ancestorTexts);

// Distinguished name of a child listed in `nameContext`: "." + name, then "." + the name context
// unless that is "[root]" (any case).
std::string childDistinguishedName(const std::string& childName, const std::string& nameContext);

// Appends `name` to a tree list unless an entry equal to it without regard to case is already
// there ("Default" included). Empty names are never added. Returns whether it was appended.
bool mergeTreeName(std::vector<std::string>& list, const std::string& name);

// Reports one failed client call: the message text and the call's code.
using FailureReporter = std::function<void(const std::string& text, NWDSCCODE code)>;

// Gathers the tree list: "Default" first, then the trees of the tree scan, then those of the
// advertisement scan, each once. A failure of the opening calls is reported and gives nullopt;
// the end of either scan is silent.
std::optional<std::vector<std::string>> gatherTreeList(const FailureReporter& report);

// Creates a directory context for the tree chosen in the tree list ("Default": the client's
// default tree), with typeless names and the name context "[root]". Each failing step is
// reported and the next one runs all the same. Returns the handle (0 when none could be made).
NWDSContextHandle openDirectoryContext(const std::string& treeChoice,
                                       const FailureReporter& report);

// One container found below a branch.
struct ChildEntry {
    std::string name; // the object's name relative to the branch, as the node's text
    NodeRecord record;
    bool hasPlaceholder; // it has subordinates, so it gets a "Loading..." child
    int imageIndex;
};

// Lists the container subordinates of `nameContext` ("[root]" for the top) in the order the
// client hands them out. Objects that are no container and hold nothing are skipped. Setting the
// name context, allocating and freeing the buffer report their failures; a failing list, count or
// name call ends the listing silently, keeping the children found so far.
std::vector<ChildEntry> listContainers(NWDSContextHandle context, const std::string& nameContext,
                                       const FailureReporter& report);

// True when the container of distinguished name `name` (".Sales.Acme", "" for the top) is the
// container `wanted`, or, unless `exactly`, one of the containers above it. Names compare
// ignoring the case of a to z; a period that a backslash escapes is no boundary between names.
bool containerNameWithin(const std::string& wanted, const std::string& name, bool exactly);

// True when the tree of `context` holds the container `wanted` (".Sales.Acme", "" for the top),
// found as the container tree finds it: branch by branch down from the top.
bool containerExists(NWDSContextHandle context, const std::string& wanted,
                     const FailureReporter& report);

} // namespace kvx::directory
