#include "store.h"

#include "../names.h"
#include "../values.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvx::client::embedded {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::size_t nameHash(std::string_view name) {
    std::uint64_t h = 1469598103934665603ULL;
    for (char c : name) {
        h ^= static_cast<unsigned char>(lower(c));
        h *= 1099511628211ULL;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

std::string at(const std::string& file, std::size_t line, const std::string& why) {
    return file + ":" + std::to_string(line) + ": " + why;
}

bool readUrl(std::string_view url, const std::string& folder, std::string& out, std::string& why) {
    std::string_view path;
    if (url.substr(0, 7) == "file://") {
        path = url.substr(7); // file:///abs/path -> /abs/path
        if (path.empty() || path[0] != '/') {
            why = "only local file: URLs are supported";
            return false;
        }
    } else if (url.substr(0, 5) == "file:") {
        path = url.substr(5);
    } else {
        why = "only file: URLs are supported";
        return false;
    }
    if (path.empty()) {
        why = "empty file: URL";
        return false;
    }
    std::string full = path[0] == '/' ? std::string(path) : folder + "/" + std::string(path);
    // Only plain files: a device or a folder named by a damaged LDIF must not hang the load.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(full, ec)) {
        why = "\"" + full + "\" is not a readable file";
        return false;
    }
    std::ifstream in(full, std::ios::binary);
    if (!in) {
        why = "cannot read \"" + full + "\"";
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    out = buf.str();
    return true;
}

} // namespace

void Store::Mapper::appendClassName(std::string_view ldapName, std::string& out) const {
    int k = s_.findClass(ldapName);
    if (k < 0)
        NameMapper::appendClassName(ldapName, out);
    else
        out += s_.classes()[k].ndsName;
}

void Store::Mapper::appendAttributeName(std::string_view ldapName, std::string& out) const {
    int k = s_.findAttribute(ldapName);
    if (k < 0)
        NameMapper::appendAttributeName(ldapName, out);
    else
        out += s_.attributes()[k].ndsName;
}

Store::Store() : mapper_(schema_) {
    index_.assign(1024, kNone);
}

bool Store::addSchemaText(std::string text, const std::string& fileName, std::string& error) {
    return files_.loadText(text, fileName, error);
}

bool Store::finishSchema(std::string& error) {
    schema_ = schema::overBuiltinSchema(files_);
    files_ = schema::Schema();
    if (!schema_.resolve(error))
        return false;
    const auto& attrs = schema_.attributes();
    std::size_t size = 64;
    while (size < attrs.size() * 16)
        size *= 2;
    attrNames_.assign(size, NameSlot{});
    auto put = [&](const std::string& name, int index) {
        std::size_t mask = attrNames_.size() - 1;
        for (std::size_t s = nameHash(name) & mask;; s = (s + 1) & mask) {
            if (attrNames_[s].index < 0) {
                attrNames_[s] = NameSlot{names::lowerAscii(name), index};
                return;
            }
            if (attrNames_[s].lowerName == names::lowerAscii(name))
                return; // the same name twice for one definition
        }
    };
    for (int i = 0; i < static_cast<int>(attrs.size()); ++i) {
        put(attrs[i].oid, i);
        put(attrs[i].ndsName, i);
        for (const std::string& n : attrs[i].names)
            put(n, i);
    }
    const auto& classes = schema_.classes();
    if (classes.size() > 0xFFFF) {
        error = "too many object classes";
        return false;
    }
    structural_.assign(classes.size(), 0);
    for (std::size_t i = 0; i < classes.size(); ++i)
        structural_[i] = classes[i].kind == schema::ObjectClassDef::Structural;
    return true;
}

int Store::attributeIndex(std::string_view name) const {
    if (attrNames_.empty())
        return -1;
    std::size_t mask = attrNames_.size() - 1;
    for (std::size_t s = nameHash(name) & mask;; s = (s + 1) & mask) {
        const NameSlot& slot = attrNames_[s];
        if (slot.index < 0)
            return -1;
        if (names::equalNoCase(slot.lowerName, name))
            return slot.index;
    }
}

std::uint32_t Store::hashSlot(std::uint32_t parent, std::string_view value) const {
    std::uint64_t h =
        1469598103934665603ULL ^ (static_cast<std::uint64_t>(parent) * 0x9E3779B97F4A7C15ULL);
    for (char c : value) {
        h ^= static_cast<unsigned char>(lower(c));
        h *= 1099511628211ULL;
    }
    h ^= h >> 29;
    return static_cast<std::uint32_t>(h & (index_.size() - 1));
}

void Store::insertChildIndex(std::uint32_t node) {
    std::uint32_t mask = static_cast<std::uint32_t>(index_.size() - 1);
    std::uint32_t s = hashSlot(nodes_[node].parent, rdnValue(node));
    while (index_[s] != kNone)
        s = (s + 1) & mask;
    index_[s] = node;
}

void Store::growIndex() {
    index_.assign(index_.size() * 2, kNone);
    for (std::uint32_t n = 0; n < nodes_.size(); ++n)
        insertChildIndex(n);
}

std::uint32_t Store::child(std::uint32_t parent, std::string_view value, bool whole) const {
    std::uint32_t mask = static_cast<std::uint32_t>(index_.size() - 1);
    for (std::uint32_t s = hashSlot(parent, value);; s = (s + 1) & mask) {
        std::uint32_t n = index_[s];
        if (n == kNone)
            return kNone;
        if (nodes_[n].parent == parent && ((nodes_[n].flags & kWholeName) != 0) == whole &&
            names::equalNoCase(rdnValue(n), value))
            return n;
    }
}

// The naming context of several components that the last components of `parts` name (typeless
// or typed), with `used` set to their count; kNone when none does.
std::uint32_t Store::rootOf(const std::vector<std::string>& parts, std::size_t& used) const {
    std::string key, type, value;
    for (std::size_t length : wholeLengths_) {
        if (length > parts.size())
            continue;
        for (bool typed : {false, true}) {
            key.clear();
            for (std::size_t i = parts.size() - length; i < parts.size(); ++i) {
                if (!key.empty())
                    key.push_back('.');
                if (typed && names::splitTypedComponent(parts[i], type, value))
                    names::appendEscapedComponent(key, value);
                else
                    names::appendEscapedComponent(key, parts[i]);
            }
            std::uint32_t n = child(kRoot, key, true);
            if (n != kNone) {
                used = length;
                return n;
            }
        }
    }
    return kNone;
}

std::uint32_t Store::find(std::string_view fullName) const {
    if (names::isRootName(fullName))
        return kRoot;
    std::vector<std::string> parts = names::splitName(fullName);
    std::uint32_t cur = kRoot;
    std::size_t used = 0;
    if (!wholeLengths_.empty()) {
        std::uint32_t top = rootOf(parts, used);
        if (top != kNone) {
            cur = top;
            parts.resize(parts.size() - used);
        }
    }
    std::string type, value;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        std::uint32_t n = child(cur, *it);
        if (n == kNone && names::splitTypedComponent(*it, type, value)) {
            n = child(cur, value);
            if (n != kNone && !names::equalNoCase(rdnType(n), type))
                n = kNone;
        }
        if (n == kNone)
            return kNone;
        cur = n;
    }
    return cur;
}

void Store::appendTypelessName(std::uint32_t node, std::string& out) const {
    bool first = true;
    for (std::uint32_t n = node; n != kRoot && n != kNone; n = nodes_[n].parent) {
        if (!first)
            out.push_back('.');
        first = false;
        if (nodes_[n].flags & kWholeName)
            out += rdnValue(n);
        else
            names::appendEscapedComponent(out, rdnValue(n));
    }
}

void Store::appendTypedName(std::uint32_t node, std::string& out) const {
    bool first = true;
    for (std::uint32_t n = node; n != kRoot && n != kNone; n = nodes_[n].parent) {
        if (!first)
            out.push_back('.');
        first = false;
        std::string_view type = rdnType(n);
        std::string_view value = rdnValue(n);
        if (nodes_[n].flags & kWholeName) {
            out += type;
            continue;
        }
        // A multi-valued component keeps its pairs: "CN=a+UID=b".
        while (true) {
            std::size_t tp = type.find('+');
            std::size_t vp = tp == std::string_view::npos ? tp : value.find('+');
            std::string_view t = type.substr(0, vp == std::string_view::npos ? type.size() : tp);
            for (char c : t)
                out.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
            out.push_back('=');
            if (vp == std::string_view::npos) {
                names::appendEscapedComponent(out, value);
                break;
            }
            names::appendEscapedComponent(out, value.substr(0, vp));
            out.push_back('+');
            type.remove_prefix(tp + 1);
            value.remove_prefix(vp + 1);
        }
    }
}

bool Store::nodeHasClass(std::uint32_t n, const std::vector<char>& classSet) const {
    const Node& node = nodes_[n];
    for (std::uint32_t k = 0; k < node.classCount; ++k)
        if (classSet[classIds_[node.classOff + k]])
            return true;
    return false;
}

bool Store::addLdifText(std::string text, const std::string& fileName, const std::string& folder,
                        std::string& error) {
    texts_.push_back(std::move(text));
    const std::string& t = texts_.back();
    if (t.size() > 0xFFFFFFF0ULL) {
        error = fileName + ": file too large";
        return false;
    }
    std::string layoutError;
    std::size_t errorLine = 0;
    bool ok = ldif::forEachRecord(
        t,
        [&](std::string_view record, std::size_t line) {
            return loadEntry(record, line, fileName, folder, error);
        },
        layoutError, errorLine);
    if (!ok && !layoutError.empty())
        error = fileName + ":" + layoutError;
    return ok;
}

bool Store::loadEntry(std::string_view record, std::size_t line, const std::string& fileName,
                      const std::string& folder, std::string& error) {
    std::string why;
    std::size_t errorLine = line;
    if (!ldif::parseRecord(record, line, lines_, why, errorLine)) {
        error = at(fileName, errorLine, why);
        return false;
    }
    // The closing "search: / result:" lines of ldapsearch's output are no entry.
    if (!lines_.empty() && names::equalNoCase(lines_[0].name, "search"))
        return true;
    if (lines_.empty() || !names::equalNoCase(lines_[0].name, "dn")) {
        error = at(fileName, line, "a record must begin with \"dn:\"");
        return false;
    }
    const ldif::Line& dnLine = lines_[0];
    std::string_view dnText;
    std::string dnScratch;
    if (dnLine.kind == ldif::Line::Url || !ldif::lineValue(dnLine, dnScratch, dnText)) {
        error = at(fileName, dnLine.lineNo,
                   dnLine.kind == ldif::Line::Url ? "a DN cannot be given by URL"
                                                  : "bad base64 in the DN");
        return false;
    }
    std::vector<names::Rdn>& rdns = rdns_;
    if (!names::parseDn(dnText, rdns, &why)) {
        error = at(fileName, dnLine.lineNo, "bad DN \"" + std::string(dnText) + "\": " + why);
        return false;
    }
    if (rdns.empty()) {
        error = at(fileName, dnLine.lineNo, "an entry cannot have the empty DN");
        return false;
    }
    // Siblings usually follow each other: an entry whose parent DN is written exactly as the
    // previous entry's skips the walk from the root.
    std::string_view parentText;
    for (std::size_t k = 0; k < dnText.size(); ++k) {
        if (dnText[k] == '\\') {
            ++k;
        } else if (dnText[k] == ',' || dnText[k] == ';') {
            parentText = dnText.substr(k + 1);
            break;
        }
    }
    std::uint32_t parent = kRoot;
    if (rdns.size() > 1 && lastParent_ != kNone && parentText == lastParentText_) {
        parent = lastParent_;
    } else {
        parent = rdns.size() > 1 ? findParent(rdns, 1) : kRoot;
        lastParent_ = rdns.size() > 1 ? parent : kNone;
        lastParentText_.assign(parentText);
    }

    const auto& attrs = schema_.attributes();
    const auto& classes = schema_.classes();
    lineAttr_.assign(lines_.size(), -1);
    std::size_t classStart = classIds_.size();
    int objectClassAttr = attributeIndex("objectClass");
    for (std::size_t i = 1; i < lines_.size(); ++i) {
        const ldif::Line& l = lines_[i];
        if (names::equalNoCase(l.name, "dn")) {
            error = at(fileName, l.lineNo,
                       "a second \"dn:\" line: entries must be separated by a blank line");
            return false;
        }
        // An "add" change record is an entry like any other; its control lines ask nothing of a
        // reader.
        if (names::equalNoCase(l.name, "control"))
            continue;
        if (names::equalNoCase(l.name, "changetype")) {
            if (!names::equalNoCase(l.raw, "add")) {
                error = at(fileName, l.lineNo,
                           "only \"changetype: add\" records are supported, not \"" +
                               std::string(l.raw) + "\"");
                return false;
            }
            continue;
        }
        // Lines of one attribute usually follow each other: look a name up once.
        int a = (i > 1 && l.name == lines_[i - 1].name) ? lineAttr_[i - 1] : attributeIndex(l.name);
        if (a < 0) {
            error =
                at(fileName, l.lineNo, "unknown attribute type \"" + std::string(l.name) + "\"");
            return false;
        }
        lineAttr_[i] = a;
        std::string_view value;
        if (l.kind == ldif::Line::Url) {
            std::string content;
            std::string url;
            std::string_view urlText;
            ldif::lineValue(
                ldif::Line{l.name, l.options, ldif::Line::Plain, l.raw, l.folded, l.lineNo}, url,
                urlText);
            if (!readUrl(urlText, folder, content, why)) {
                error = at(fileName, l.lineNo, why);
                return false;
            }
            auto& stored = urlValues_[l.raw.data()];
            stored = std::move(content);
            value = stored;
        } else if (!ldif::lineValue(l, scratch_, value)) {
            error = at(fileName, l.lineNo, "bad base64 value");
            return false;
        }
        nuint32 syntax = attrs[a].syntax;
        // The stored form (names inside are DNs) and the syntax's own rules both must hold.
        if (!checkStoredValue(syntax, value, &why) || !validValue(syntax, value, &why)) {
            error = at(fileName, l.lineNo, "bad value of \"" + std::string(l.name) + "\": " + why);
            return false;
        }
        if (a == objectClassAttr) {
            int c = schema_.findClass(value);
            if (c < 0) {
                error =
                    at(fileName, l.lineNo, "unknown object class \"" + std::string(value) + "\"");
                return false;
            }
            classIds_.push_back(static_cast<std::uint16_t>(c));
        }
        if (attrs[a].singleValue) {
            for (std::size_t j = 1; j < i; ++j)
                if (lineAttr_[j] == a) {
                    error = at(fileName, l.lineNo,
                               "more than one value for the single-valued attribute \"" +
                                   std::string(l.name) + "\"");
                    return false;
                }
        }
    }
    std::size_t classCount = classIds_.size() - classStart;
    if (classCount == 0) {
        error =
            at(fileName, dnLine.lineNo, "entry \"" + std::string(dnText) + "\" has no objectClass");
        return false;
    }
    if (classCount > 0xFFFF || nodes_.size() >= 0xFFFFFFF0u || names_.size() > 0xF0000000u) {
        error = at(fileName, dnLine.lineNo, "the tree is too large");
        return false;
    }

    Node node;
    node.record = record.data();
    node.recordLen = static_cast<std::uint32_t>(record.size());
    node.recordLine = static_cast<std::uint32_t>(line);
    node.nameOff = static_cast<std::uint32_t>(names_.size());
    node.typeLen = static_cast<std::uint16_t>(std::min<std::size_t>(rdns[0].type.size(), 0xFFFF));
    names_.append(rdns[0].type, 0, node.typeLen);
    node.valueLen = static_cast<std::uint32_t>(rdns[0].value.size());
    names_ += rdns[0].value;
    node.classOff = static_cast<std::uint32_t>(classStart);
    node.classCount = static_cast<std::uint16_t>(classCount);
    int best = -1;
    for (std::size_t k = classStart; k < classIds_.size(); ++k) {
        const auto& c = classes[classIds_[k]];
        if (c.container)
            node.flags |= DS_CONTAINER_ENTRY;
        if (c.alias)
            node.flags |= DS_ALIAS_ENTRY;
        if (structural_[classIds_[k]] && (best < 0 || c.depth > classes[best].depth))
            best = classIds_[k];
    }
    node.baseClass = static_cast<std::uint16_t>(best >= 0 ? best : classIds_[classStart]);

    if (parent == kNone) {
        bool inKnownContext = false;
        if (rdns.size() > 1)
            findParent(rdns, 1, &inKnownContext);
        if (inKnownContext) {
            // Below a naming context already read, before its own parent: placed once every
            // file is read.
            pending_.push_back(Pending{node, std::string(dnText), fileName, rdns.size(), kNone});
            return true;
        }
        // Nothing above it is known: a naming context of its own (until its parent comes).
        makeWhole(node, rdns);
        wholeRoots_.push_back(Pending{node, std::string(dnText), fileName, rdns.size(),
                                      static_cast<std::uint32_t>(nodes_.size())});
        parent = kRoot;
    }
    return link(node, parent, fileName, dnText, error);
}

std::uint32_t Store::findParent(const std::vector<names::Rdn>& rdns, std::size_t from,
                                bool* topFound) const {
    std::size_t end = rdns.size();
    std::uint32_t parent = kNone;
    if (!wholeLengths_.empty()) {
        std::vector<std::string> parts;
        for (std::size_t k = from; k < rdns.size(); ++k)
            parts.push_back(rdns[k].value);
        std::size_t used = 0;
        parent = rootOf(parts, used);
        if (parent != kNone)
            end -= used;
    }
    if (parent == kNone && end > from)
        parent = child(kRoot, rdns[--end].value);
    if (topFound)
        *topFound = parent != kNone;
    for (std::size_t k = end; parent != kNone && k-- > from;)
        parent = child(parent, rdns[k].value);
    return parent;
}

void Store::makeWhole(Node& node, const std::vector<names::Rdn>& rdns) {
    std::string typed, typeless;
    for (std::size_t k = 0; k < rdns.size(); ++k) {
        if (k) {
            typed.push_back('.');
            typeless.push_back('.');
        }
        for (char c : rdns[k].type)
            typed.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
        typed.push_back('=');
        names::appendEscapedComponent(typed, rdns[k].value);
        names::appendEscapedComponent(typeless, rdns[k].value);
    }
    typed.resize(std::min<std::size_t>(typed.size(), 0xFFFF));
    node.nameOff = static_cast<std::uint32_t>(names_.size());
    node.typeLen = static_cast<std::uint16_t>(typed.size());
    node.valueLen = static_cast<std::uint32_t>(typeless.size());
    names_ += typed;
    names_ += typeless;
    node.flags |= kWholeName;
    if (std::find(wholeLengths_.begin(), wholeLengths_.end(), rdns.size()) == wholeLengths_.end()) {
        wholeLengths_.push_back(rdns.size());
        std::sort(wholeLengths_.rbegin(), wholeLengths_.rend());
    }
}

bool Store::link(Node node, std::uint32_t parent, const std::string& fileName,
                 std::string_view dnText, std::string& error) {
    std::string_view value =
        std::string_view(names_).substr(node.nameOff + node.typeLen, node.valueLen);
    if (child(parent, value, (node.flags & kWholeName) != 0) != kNone) {
        error = at(fileName, node.recordLine, "duplicate entry \"" + std::string(dnText) + "\"");
        return false;
    }
    std::uint32_t self = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(node);
    attach(self, parent, placingLate_);
    if (nodes_.size() * 2 > index_.size())
        growIndex();
    else
        insertChildIndex(self);
    return true;
}

// Where a node's record stands in the files: siblings are handed out in that order, whatever
// order they were placed in.
std::pair<std::size_t, const char*> Store::documentPosition(std::uint32_t n) const {
    const char* at = nodes_[n].record;
    for (std::size_t f = 0; f < texts_.size(); ++f) {
        const std::string& t = texts_[f];
        if (std::less_equal<const char*>()(t.data(), at) &&
            std::less<const char*>()(at, t.data() + t.size() + 1))
            return {f, at};
    }
    return {texts_.size(), at};
}

void Store::attach(std::uint32_t self, std::uint32_t parent, bool inDocumentOrder) {
    nodes_[self].parent = parent;
    nodes_[self].nextSibling = kNone;
    std::uint32_t& first = parent == kRoot ? rootFirst_ : nodes_[parent].firstChild;
    std::uint32_t& last = parent == kRoot ? rootLast_ : nodes_[parent].lastChild;
    ++(parent == kRoot ? rootCount_ : nodes_[parent].childCount);
    if (inDocumentOrder && last != kNone && documentPosition(self) < documentPosition(last)) {
        const auto pos = documentPosition(self);
        std::uint32_t* link = &first;
        while (*link != kNone && documentPosition(*link) < pos)
            link = &nodes_[*link].nextSibling;
        nodes_[self].nextSibling = *link;
        *link = self;
        return;
    }
    if (last == kNone)
        first = self;
    else
        nodes_[last].nextSibling = self;
    last = self;
}

bool Store::finishEntries(std::string& error) {
    placingLate_ = true;
    std::vector<names::Rdn> rdns;
    // A naming context whose parent came after it moves below that parent, under the name of
    // its first component (the shortest first: a moved one may be the parent of the next).
    std::stable_sort(wholeRoots_.begin(), wholeRoots_.end(),
                     [](const Pending& a, const Pending& b) { return a.depth < b.depth; });
    bool moved = false;
    std::vector<std::size_t> lengths; // of those that stay
    for (const Pending& w : wholeRoots_) {
        names::parseDn(w.dn, rdns);
        const std::uint32_t self = w.self;
        std::uint32_t parent = findParent(rdns, 1);
        if (parent == kNone || parent == self) {
            lengths.push_back(w.depth);
            continue;
        }
        std::uint32_t* link = &rootFirst_;
        std::uint32_t before = kNone;
        while (*link != self) {
            before = *link;
            link = &nodes_[*link].nextSibling;
        }
        *link = nodes_[self].nextSibling;
        if (rootLast_ == self)
            rootLast_ = before;
        --rootCount_;
        Node& n = nodes_[self];
        n.flags = static_cast<std::uint16_t>(n.flags & ~kWholeName);
        n.nameOff = static_cast<std::uint32_t>(names_.size());
        n.typeLen = static_cast<std::uint16_t>(std::min<std::size_t>(rdns[0].type.size(), 0xFFFF));
        names_.append(rdns[0].type, 0, n.typeLen);
        n.valueLen = static_cast<std::uint32_t>(rdns[0].value.size());
        names_ += rdns[0].value;
        attach(self, parent, true);
        moved = true;
    }
    if (moved) {
        wholeLengths_ = std::move(lengths);
        std::sort(wholeLengths_.rbegin(), wholeLengths_.rend());
        wholeLengths_.erase(std::unique(wholeLengths_.begin(), wholeLengths_.end()),
                            wholeLengths_.end());
        index_.assign(index_.size(), kNone);
        for (std::uint32_t n = 0; n < nodes_.size(); ++n)
            insertChildIndex(n);
    }
    wholeRoots_.clear();

    // Entries read before their parent: parents first, as an entry has more components than
    // any of its ancestors. One whose parent never came is a naming context.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.depth < b.depth; });
    for (Pending& p : pending_) {
        names::parseDn(p.dn, rdns);
        std::uint32_t parent = findParent(rdns, 1);
        if (parent == kNone) {
            makeWhole(p.node, rdns);
            parent = kRoot;
        }
        if (!link(p.node, parent, p.fileName, p.dn, error))
            return false;
    }
    pending_.clear();
    pending_.shrink_to_fit();
    lastParent_ = kNone;
    return true;
}

void Store::fillRootEntry(Entry& out) const {
    out.name.clear();
    out.typedName.clear();
    out.objectFlags = DS_CONTAINER_ENTRY;
    out.subordinateCount = rootCount_;
    out.modificationTime = 0;
    out.baseClass = "Top";
    out.attributes.clear();
}

void Store::fillEntry(std::uint32_t n, Entry& out, const std::vector<char>* wanted, bool all,
                      bool valuesWanted) const {
    const Node& node = nodes_[n];
    out.name.clear();
    appendTypelessName(n, out.name);
    out.typedName.clear();
    appendTypedName(n, out.typedName);
    out.objectFlags = node.flags & ~kWholeName;
    out.subordinateCount = node.childCount;
    out.modificationTime = 0;
    out.baseClass = schema_.classes()[node.baseClass].ndsName;
    if (!wanted && !all) {
        out.attributes.clear();
        return;
    }
    std::vector<ldif::Line>& lines = fillLines_;
    std::string why;
    std::size_t errorLine = 0;
    ldif::parseRecord(std::string_view(node.record, node.recordLen), node.recordLine, lines, why,
                      errorLine);
    const auto& attrs = schema_.attributes();
    std::vector<int>& slotAttr = slotAttr_;
    std::vector<std::size_t>& slotCount = slotCount_;
    std::string& scratch = fillScratch_;
    slotAttr.clear();
    slotCount.clear();
    int a = -1;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const ldif::Line& l = lines[i];
        if (i == 1 || l.name != lines[i - 1].name)
            a = attributeIndex(l.name);
        if (a < 0 || (!all && !(*wanted)[a]))
            continue;
        std::size_t slot = 0;
        while (slot < slotAttr.size() && slotAttr[slot] != a)
            ++slot;
        if (slot == slotAttr.size()) {
            slotAttr.push_back(a);
            slotCount.push_back(0);
            if (slot == out.attributes.size())
                out.attributes.emplace_back();
            EntryAttribute& ea = out.attributes[slot];
            ea.name = attrs[a].ndsName;
            ea.syntax = attrs[a].syntax;
        }
        if (!valuesWanted)
            continue;
        std::string_view value;
        if (l.kind == ldif::Line::Url) {
            auto it = urlValues_.find(l.raw.data());
            value = it == urlValues_.end() ? std::string_view{} : std::string_view(it->second);
        } else if (!ldif::lineValue(l, scratch, value)) {
            continue; // cannot happen: checked when loaded
        }
        EntryAttribute& ea = out.attributes[slot];
        std::size_t k = slotCount[slot]++;
        if (k == ea.values.size())
            ea.values.emplace_back();
        normalizeValue(ea.syntax, value, mapper_, ea.values[k]);
    }
    out.attributes.resize(slotAttr.size());
    for (std::size_t s = 0; s < slotAttr.size(); ++s)
        out.attributes[s].values.resize(slotCount[s]);
}

} // namespace kvx::client::embedded
