#include "treecheck.h"

#include "directory/client/embedded/embedded.h"

namespace kvx::directory {

namespace {

TreeCheck checkFolder(const client::TreeSource& tree) {
    TreeCheck out;
    auto backend = client::makeEmbeddedBackend(tree.name, tree.folder);
    if (backend->open() != 0) {
        out.text = "The tree cannot be opened: " + backend->lastError();
        return out;
    }
    std::unique_ptr<client::EntryCursor> cursor;
    if (backend->list("", cursor) == 0 && cursor) {
        client::Entry e;
        while (cursor->next(e) == 0)
            out.namingContexts.push_back(e.name);
    }
    std::size_t entries = 0;
    client::SearchRequest all;
    all.valuesWanted = false;
    cursor.reset();
    if (backend->search(all, cursor) == 0 && cursor) {
        client::Entry e;
        while (cursor->next(e) == 0)
            ++entries;
    }
    out.ok = true;
    out.text = "The folder holds " + std::to_string(entries) +
               (entries == 1 ? " entry" : " entries") + " in " +
               std::to_string(out.namingContexts.size()) +
               (out.namingContexts.size() == 1 ? " naming context" : " naming contexts");
    for (std::size_t i = 0; i < out.namingContexts.size(); ++i)
        out.text += (i ? ", " : ": ") + out.namingContexts[i];
    out.text += ".";
    return out;
}

} // namespace

TreeCheck checkTree(const client::TreeSource& tree, const std::string& password,
                    const std::atomic<bool>* cancelled) {
    if (tree.url.empty())
        return checkFolder(tree);
    client::ServerReport report = client::probeLdapServer(tree, password, kTestSeconds, cancelled);
    TreeCheck out;
    out.ok = report.ok;
    out.text = report.ok ? report.summary : report.fault.text;
    out.namingContexts = std::move(report.namingContexts);
    out.serverKind = report.serverKind;
    out.certificate = report.fault.certificate;
    out.fault = report.fault.kind;
    return out;
}

} // namespace kvx::directory
