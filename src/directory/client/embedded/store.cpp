#include "store.h"

#include "../matching.h"

#include "../names.h"
#include "../values.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

namespace kvx::client::embedded {

namespace {

constexpr std::uint64_t kEmptySlot = ~std::uint64_t{0};

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
    index_.assign(1024, kEmptySlot);
}

bool Store::addSchemaText(std::string text, const std::string& fileName, std::string& error) {
    return files_.loadText(text, fileName, error);
}

bool Store::finishSchema(std::string& error) {
    schema_ = schema::overBuiltinSchema(files_);
    files_ = schema::Schema();
    if (!schema_.resolve(error))
        return false;
    return indexSchema(error);
}

bool Store::useSchema(const schema::Schema& resolved, std::string& error) {
    schema_ = resolved;
    return indexSchema(error);
}

bool Store::indexSchema(std::string& error) {
    const auto& attrs = schema_.attributes();
    // At most a quarter of the slots in use: lookups stay short.
    std::size_t nameCount = 0;
    for (const auto& a : attrs)
        nameCount += 2 + a.names.size();
    std::size_t size = 64;
    while (size < nameCount * 4)
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

// Children are found by their naming value as a server compares names (matching.h): ou=ärzte
// and ou=Ärzte, or "A  B" and "A B", name one entry.
std::uint64_t Store::childHash(std::uint32_t parent, std::string_view value) {
    std::string key;
    if (!matching::simpleName(value)) {
        matching::nameKey(value, key);
        value = key;
    }
    std::uint64_t h =
        1469598103934665603ULL ^ (static_cast<std::uint64_t>(parent) * 0x9E3779B97F4A7C15ULL);
    for (char c : value) {
        h ^= static_cast<unsigned char>(lower(c));
        h *= 1099511628211ULL;
    }
    return h ^ (h >> 29);
}

// Index slots hold the node's number and the high half of its hash, so that a probe reads a
// node only when the hashes agree.
namespace {
std::uint32_t slotNode(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot);
}
std::uint32_t slotTag(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot >> 32);
}
} // namespace

std::uint32_t Store::indexChild(std::uint32_t self) {
    const Node& node = nodes_[self];
    const std::string_view value = rdnValue(self);
    const bool whole = (node.flags & kWholeName) != 0;
    const std::uint64_t h = childHash(node.parent, value);
    const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t s = h & mask;; s = (s + 1) & mask) {
        const std::uint64_t e = index_[s];
        if (e == kEmptySlot) {
            index_[s] = (static_cast<std::uint64_t>(tag) << 32) | self;
            return kNone;
        }
        const std::uint32_t n = slotNode(e);
        if (slotTag(e) == tag && nodes_[n].parent == node.parent &&
            ((nodes_[n].flags & kWholeName) != 0) == whole &&
            matching::sameName(rdnValue(n), value))
            return n;
    }
}

void Store::growIndex(std::size_t atLeast) {
    std::size_t size = std::max<std::size_t>(index_.size(), 1024);
    while (size < atLeast)
        size *= 2;
    if (size == index_.size() && atLeast)
        return; // already large enough
    if (!atLeast)
        size *= 2;
    index_.assign(size, kEmptySlot);
    for (std::uint32_t n = 0; n < nodes_.size(); ++n)
        if (nodes_[n].parent != kNone)
            indexChild(n);
}

std::uint32_t Store::child(std::uint32_t parent, std::string_view value, bool whole) const {
    const std::uint64_t h = childHash(parent, value);
    const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t s = h & mask;; s = (s + 1) & mask) {
        const std::uint64_t e = index_[s];
        if (e == kEmptySlot)
            return kNone;
        const std::uint32_t n = slotNode(e);
        if (slotTag(e) == tag && nodes_[n].parent == parent &&
            ((nodes_[n].flags & kWholeName) != 0) == whole &&
            matching::sameName(rdnValue(n), value))
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
        appendTypelessComponent(n, out);
    }
}

void Store::appendTypelessComponent(std::uint32_t n, std::string& out) const {
    if (nodes_[n].flags & kWholeName)
        out += rdnValue(n);
    else
        names::appendEscapedComponent(out, rdnValue(n));
}

void Store::appendTypedName(std::uint32_t node, std::string& out) const {
    bool first = true;
    for (std::uint32_t n = node; n != kRoot && n != kNone; n = nodes_[n].parent) {
        if (!first)
            out.push_back('.');
        first = false;
        appendTypedComponent(n, out);
    }
}

void Store::appendTypedComponent(std::uint32_t n, std::string& out) const {
    std::string_view type = rdnType(n);
    std::string_view value = rdnValue(n);
    if (nodes_[n].flags & kWholeName) {
        out += type;
        return;
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

bool Store::nodeHasClass(std::uint32_t n, const std::vector<char>& classSet) const {
    const Node& node = nodes_[n];
    for (std::uint32_t k = 0; k < node.classCount; ++k)
        if (classSet[classIds_[node.classOff + k]])
            return true;
    return false;
}

// ---- loading ------------------------------------------------------------------------------

struct Store::Chunk {
    Nodes* nodes = nullptr; // where its entries go, and their object classes
    ClassIds* classIds = nullptr;
    std::size_t lines = 0;     // lines read, up to the fault when there is one
    bool faulty = false;       // the records after `nodes` were not read
    std::size_t faultLine = 0; // relative to the chunk's first line
    std::string fault;         // without file name and line
};

namespace {

using ldif::isNameChar;

// Object class ids by the exact text of their values: an export repeats the same few spellings
// on every entry.
class ClassCache {
public:
    explicit ClassCache(const schema::Schema& s) : s_(s) {}
    int find(std::string_view value) {
        for (const auto& [text, id] : slots_)
            if (text == value)
                return id;
        int id = s_.findClass(value);
        if (id >= 0) {
            slots_[next_] = {std::string(value), id};
            next_ = (next_ + 1) % std::size(slots_);
        }
        return id;
    }

private:
    const schema::Schema& s_;
    std::pair<std::string, int> slots_[16];
    std::size_t next_ = 0;
};

// The "dn:" line a record begins with, its continuation lines included.
ldif::Line dnLine(std::string_view record) {
    ldif::Line l;
    std::size_t i = 0;
    while (i < record.size() && isNameChar(record[i]))
        ++i;
    l.name = record.substr(0, i);
    while (i < record.size() && record[i] != ':' && record[i] != '\n')
        ++i;
    if (i < record.size() && record[i] == ':')
        ++i;
    if (i < record.size() && record[i] == ':') {
        l.kind = ldif::Line::Base64;
        ++i;
    } else if (i < record.size() && record[i] == '<') {
        l.kind = ldif::Line::Url;
        ++i;
    }
    while (i < record.size() && record[i] == ' ')
        ++i;
    std::size_t end = record.find('\n', i);
    if (end == std::string_view::npos)
        end = record.size();
    std::size_t stop = end > i && record[end - 1] == '\r' ? end - 1 : end;
    while (end + 1 < record.size() && record[end + 1] == ' ') {
        l.folded = true;
        end = record.find('\n', end + 1);
        if (end == std::string_view::npos)
            end = record.size();
        stop = record[end - 1] == '\r' ? end - 1 : end;
    }
    l.raw = record.substr(i, stop - i);
    return l;
}

} // namespace

// Reads the records of text[begin, end): the layout of every line (as ldif::parseRecord reads
// it), each record's "dn:" line and object classes. Lines are numbered from 1 at `begin`.
void Store::scanChunk(std::string_view text, std::size_t begin, std::size_t end, bool first,
                      Chunk& out) const {
    ClassCache classes(schema_);
    std::string scratch;
    std::size_t pos = begin;
    std::size_t lineNo = 0;
    bool inComment = false;
    bool inRecord = false;
    std::size_t recStart = 0;
    std::size_t recLine = 0;
    bool trailer = false;
    bool hasUrl = false;
    Node node;
    Nodes& nodes = *out.nodes;
    ClassIds& classIds = *out.classIds;
    // Entries mostly repeat the object classes of one before them: those are kept once.
    std::pair<std::uint32_t, std::uint32_t> recentSets[4] = {};
    std::size_t nextSet = 0;
    // The "dn:" and objectClass lines of the current record, with their extents.
    struct Ref {
        std::size_t start, stop, line;
        ldif::Line::Kind kind;
        bool folded;
    };
    std::vector<Ref> classRefs;
    bool haveDn = false;
    Ref dnRef{};
    Ref* lastRef = nullptr; // the line continuation lines extend, when it is one of those
    auto fail = [&](std::size_t line, std::string why) {
        out.faulty = true;
        out.faultLine = line;
        out.fault = std::move(why);
        out.lines = line;
        return;
    };
    auto finishRecord = [&](std::size_t stop) -> bool {
        inRecord = false;
        if (trailer)
            return true;
        if (!haveDn) {
            fail(recLine, "a record must begin with \"dn:\"");
            return false;
        }
        node = Node{};
        node.record = text.data() + recStart;
        node.recordLen = static_cast<std::uint32_t>(stop - recStart);
        node.recordLine = static_cast<std::uint32_t>(recLine);
        node.classOff = static_cast<std::uint32_t>(classIds.size());
        for (const Ref& r : classRefs) {
            ldif::Line l;
            l.kind = r.kind;
            l.folded = r.folded;
            l.raw = text.substr(r.start, r.stop - r.start);
            std::string_view value;
            int id = -1;
            if (r.kind != ldif::Line::Url && ldif::lineValue(l, scratch, value))
                id = classes.find(value);
            if (id < 0) {
                fail(r.line, r.kind == ldif::Line::Url
                                 ? std::string("an object class cannot be given by URL")
                                 : "unknown object class \"" + std::string(value) + "\"");
                return false;
            }
            classIds.push_back(static_cast<std::uint16_t>(id));
        }
        std::size_t classCount = classIds.size() - node.classOff;
        if (classCount == 0 || classCount > 0xFFFF) {
            std::string_view value;
            ldif::lineValue(dnLine(text.substr(recStart, stop - recStart)), scratch, value);
            fail(dnRef.line, classCount == 0
                                 ? "entry \"" + std::string(value) + "\" has no objectClass"
                                 : std::string("the entry has too many object classes"));
            return false;
        }
        node.classCount = static_cast<std::uint16_t>(classCount);
        if (hasUrl)
            node.flags |= kHasUrl;
        const auto& defs = schema_.classes();
        int best = -1;
        for (std::size_t k = node.classOff; k < classIds.size(); ++k) {
            const auto& c = defs[classIds[k]];
            if (c.container)
                node.flags |= DS_CONTAINER_ENTRY;
            if (c.alias)
                node.flags |= DS_ALIAS_ENTRY;
            if (structural_[classIds[k]] && (best < 0 || c.depth > defs[best].depth))
                best = classIds[k];
        }
        node.baseClass = static_cast<std::uint16_t>(best >= 0 ? best : classIds[node.classOff]);
        for (const auto& [off, count] : recentSets) {
            if (count == classCount && std::equal(classIds.begin() + node.classOff, classIds.end(),
                                                  classIds.begin() + off)) {
                classIds.resize(node.classOff);
                node.classOff = off;
                break;
            }
        }
        if (node.classOff + classCount == classIds.size()) {
            recentSets[nextSet] = {node.classOff, static_cast<std::uint32_t>(classCount)};
            nextSet = (nextSet + 1) % std::size(recentSets);
        }
        nodes.push_back(node);
        return true;
    };
    if (first && text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        pos = 3;
    while (pos < end) {
        const char* nl = static_cast<const char*>(std::memchr(text.data() + pos, '\n', end - pos));
        std::size_t lineEnd = nl ? static_cast<std::size_t>(nl - text.data()) : end;
        std::size_t lineStart = pos;
        std::size_t len = lineEnd - lineStart;
        if (len > 0 && text[lineEnd - 1] == '\r')
            --len;
        pos = lineEnd + 1;
        ++lineNo;
        const char* line = text.data() + lineStart;
        if (len == 0) {
            inComment = false;
            if (inRecord && !finishRecord(lineStart))
                return;
            continue;
        }
        if (line[0] == ' ') {
            if (inComment)
                continue; // a folded comment
            if (!inRecord) {
                fail(lineNo, "continuation line outside a record");
                return;
            }
            if (lastRef) {
                lastRef->stop = lineStart + len;
                lastRef->folded = true;
            }
            continue;
        }
        inComment = false;
        if (line[0] == '#') {
            inComment = true;
            continue;
        }
        std::string_view l(line, len);
        if (!inRecord) {
            if (first && len >= 8 && l.substr(0, 8) == "version:") {
                first = false;
                std::string_view v = l.substr(8);
                while (!v.empty() && v[0] == ' ')
                    v.remove_prefix(1);
                while (!v.empty() && v.back() == ' ')
                    v.remove_suffix(1);
                if (v != "1") {
                    fail(lineNo, "unsupported LDIF version \"" + std::string(v) + "\"");
                    return;
                }
                continue;
            }
            first = false;
            inRecord = true;
            recStart = lineStart;
            recLine = lineNo;
            trailer = false;
            haveDn = false;
            hasUrl = false;
            classRefs.clear();
        }
        lastRef = nullptr;
        // "name;options:" then ":" (base64), "<" (URL) or the value.
        std::size_t i = 0;
        while (i < len && isNameChar(line[i]))
            ++i;
        std::string_view name(line, i);
        while (i < len && line[i] == ';') {
            ++i;
            while (i < len && isNameChar(line[i]))
                ++i;
        }
        if (name.empty() || i >= len || line[i] != ':') {
            fail(lineNo, l == "-" ? "only \"changetype: add\" records are supported"
                                  : "expected \"attribute: value\"");
            return;
        }
        ++i;
        ldif::Line::Kind kind = ldif::Line::Plain;
        if (i < len && line[i] == ':') {
            kind = ldif::Line::Base64;
            ++i;
        } else if (i < len && line[i] == '<') {
            kind = ldif::Line::Url;
            ++i;
        }
        while (i < len && line[i] == ' ')
            ++i;
        Ref ref{lineStart + i, lineStart + len, lineNo, kind, false};
        const bool firstLine = recLine == lineNo;
        if (name.size() == 2 && names::equalNoCase(name, "dn")) {
            if (!firstLine) {
                fail(lineNo, "a second \"dn:\" line: entries must be separated by a blank line");
                return;
            }
            haveDn = true;
            dnRef = ref;
            lastRef = &dnRef;
            continue;
        }
        if (firstLine) {
            // The closing "search: / result:" lines of ldapsearch's output are no entry.
            if (names::equalNoCase(name, "search")) {
                trailer = true;
                continue;
            }
            fail(lineNo, "a record must begin with \"dn:\"");
            return;
        }
        if (trailer)
            continue;
        if (name.size() == 11 && names::equalNoCase(name, "objectClass")) {
            classRefs.push_back(ref);
            lastRef = &classRefs.back();
        } else if (name.size() == 10 && names::equalNoCase(name, "changetype")) {
            // An "add" change record is an entry like any other.
            if (!names::equalNoCase(l.substr(i), "add")) {
                fail(lineNo, "only \"changetype: add\" records are supported, not \"" +
                                 std::string(l.substr(i)) + "\"");
                return;
            }
        } else if (kind == ldif::Line::Url) {
            hasUrl = true; // its content is read when the record is placed
        }
    }
    if (inRecord)
        finishRecord(end);
    if (!out.faulty)
        out.lines = lineNo;
}

bool Store::addLdifText(TextBuffer buffer, const std::string& fileName, const std::string& folder,
                        std::string& error) {
    if (buffer.size() > 0xFFFFFFF0ULL) {
        error = fileName + ": file too large";
        return false;
    }
    texts_.push_back(std::move(buffer));
    textNames_.push_back(fileName);
    const std::string_view text = texts_.back().view();

    // Large texts are read in two halves at once, split at a blank line (where a record ends
    // whatever came before it).
    std::size_t split = text.size();
    if (text.size() > splitAbove_) {
        for (std::size_t at = text.size() / 2; at + 1 < text.size();) {
            const void* nl = std::memchr(text.data() + at, '\n', text.size() - at);
            if (!nl)
                break;
            std::size_t k = static_cast<std::size_t>(static_cast<const char*>(nl) - text.data());
            std::size_t next = k + 1;
            if (next < text.size() && text[next] == '\r')
                ++next;
            if (next < text.size() && text[next] == '\n') {
                split = next + 1;
                break;
            }
            at = k + 1;
        }
    }
    Chunk head, tail;
    Nodes tailNodes;
    ClassIds tailClasses;
    const std::size_t before = nodes_.size();
    // Generously: only the memory written to is ever taken.
    nodes_.reserve(before + text.size() / 128 + 16);
    head.nodes = &nodes_;
    head.classIds = &classIds_;
    tail.nodes = &tailNodes;
    tail.classIds = &tailClasses;
    std::thread second;
    if (split < text.size()) {
        try {
            second = std::thread([&] {
                try {
                    tailNodes.reserve((text.size() - split) / 128 + 16);
                    scanChunk(text, split, text.size(), false, tail);
                } catch (const std::bad_alloc&) {
                    tail.faulty = true;
                    tail.fault = "not enough memory to read the file";
                }
            });
        } catch (const std::system_error&) {
            split = text.size(); // no second thread: the text is read whole here
        }
    }
    if (second.joinable()) {
        try {
            scanChunk(text, 0, split, true, head);
        } catch (...) {
            second.join();
            throw;
        }
        second.join();
    } else {
        scanChunk(text, 0, text.size(), true, head);
    }
    const std::size_t headCount = nodes_.size() - before;
    if (!head.faulty) {
        if (nodes_.size() + tailNodes.size() >= 0xFFFFFFF0u) {
            error = fileName + ": the tree is too large";
            return false;
        }
        const std::uint32_t classBase = static_cast<std::uint32_t>(classIds_.size());
        classIds_.insert(classIds_.end(), tailClasses.begin(), tailClasses.end());
        tailClasses = ClassIds();
        for (Node& n : tailNodes) {
            n.classOff += classBase;
            n.recordLine += static_cast<std::uint32_t>(head.lines);
        }
        nodes_.insert(nodes_.end(), tailNodes.begin(), tailNodes.end());
        tailNodes = Nodes();
    }
    if (nodes_.size() >= 0xFFFFFFF0u) {
        error = fileName + ": the tree is too large";
        return false;
    }

    // Placing the entries in document order: the first fault of the file is the one reported.
    growIndex(nodes_.size() * 2);
    std::size_t nameBytes = 0;
    for (std::size_t n = before; n < nodes_.size(); ++n)
        nameBytes += std::min<std::size_t>(nodes_[n].recordLen, 64);
    names_.reserve(names_.size() + nameBytes); // names are parts of the records' first lines
    for (std::size_t n = before; n < nodes_.size(); ++n) {
        if (head.faulty && n - before >= headCount)
            break;
        if (!placeScanned(static_cast<std::uint32_t>(n), fileName, folder, error))
            return false;
    }
    if (head.faulty || tail.faulty) {
        const Chunk& c = head.faulty ? head : tail;
        error = at(fileName, (head.faulty ? 0 : head.lines) + c.faultLine, c.fault);
        return false;
    }
    return true;
}

bool Store::placeScanned(std::uint32_t self, const std::string& fileName, const std::string& folder,
                         std::string& error) {
    Node& node = nodes_[self];
    const ldif::Line l = dnLine(std::string_view(node.record, node.recordLen));
    const std::size_t line = node.recordLine;
    std::string_view dnText;
    if (l.kind == ldif::Line::Url || !ldif::lineValue(l, scratch_, dnText)) {
        error =
            at(fileName, line,
               l.kind == ldif::Line::Url ? "a DN cannot be given by URL" : "bad base64 in the DN");
        return false;
    }
    const bool stable = l.kind == ldif::Line::Plain && !l.folded; // a view of the file text
    std::string why;
    std::size_t i = 0;
    while (i < dnText.size() && dnText[i] == ' ')
        ++i;
    if (i == dnText.size()) {
        error = at(fileName, line, "an entry cannot have the empty DN");
        return false;
    }
    std::string_view rest;
    if (!names::parseFirstRdn(dnText, rdn_, rest, &why)) {
        error = at(fileName, line, "bad DN \"" + std::string(dnText) + "\": " + why);
        return false;
    }
    std::uint32_t parent = kRoot;
    std::size_t depth = 1;
    bool parsed = false; // rdns_ holds every component
    if (!rest.empty()) {
        auto it = parentByText_.find(rest);
        if (it != parentByText_.end()) {
            parent = it->second;
        } else {
            if (!names::parseDn(dnText, rdns_, &why)) {
                error = at(fileName, line, "bad DN \"" + std::string(dnText) + "\": " + why);
                return false;
            }
            parsed = true;
            depth = rdns_.size();
            parent = findParent(rdns_, 1);
            if (parent != kNone) {
                std::string_view key = rest;
                if (!stable) {
                    parentTexts_.emplace_back(rest);
                    key = parentTexts_.back();
                }
                parentByText_.emplace(key, parent);
            }
        }
    }
    if (node.flags & kHasUrl) {
        if (!readUrlValues(node, folder, error, fileName))
            return false;
    }
    node.nameOff = static_cast<std::uint32_t>(names_.size());
    node.typeLen = static_cast<std::uint16_t>(std::min<std::size_t>(rdn_.type.size(), 0xFFFF));
    names_.append(rdn_.type, 0, node.typeLen);
    node.valueLen = static_cast<std::uint32_t>(rdn_.value.size());
    names_ += rdn_.value;
    if (names_.size() > 0xF0000000u) {
        error = at(fileName, line, "the tree is too large");
        return false;
    }
    if (parent == kNone) {
        bool inKnownContext = false;
        findParent(rdns_, 1, &inKnownContext);
        if (inKnownContext) {
            // Below a naming context already read, before its own parent: placed once every
            // file is read.
            pending_.push_back(Pending{std::string(dnText), fileName, depth, self});
            return true;
        }
        // Nothing above it is known: a naming context of its own (until its parent comes).
        makeWhole(node, rdns_);
        wholeRoots_.push_back(Pending{std::string(dnText), fileName, depth, self});
        parent = kRoot;
    }
    (void)parsed;
    return link(self, parent, fileName, dnText, error);
}

bool Store::readUrlValues(const Node& node, const std::string& folder, std::string& error,
                          const std::string& fileName) {
    std::string why;
    std::size_t errorLine = node.recordLine;
    if (!ldif::parseRecord(std::string_view(node.record, node.recordLen), node.recordLine, lines_,
                           why, errorLine)) {
        error = at(fileName, errorLine, why);
        return false;
    }
    for (const ldif::Line& l : lines_) {
        if (l.kind != ldif::Line::Url)
            continue;
        std::string content;
        std::string url;
        std::string_view urlText;
        ldif::lineValue(ldif::Line{l.name, l.options, ldif::Line::Plain, l.raw, l.folded, l.lineNo},
                        url, urlText);
        if (!readUrl(urlText, folder, content, why)) {
            error = at(fileName, l.lineNo, why);
            return false;
        }
        urlValues_[l.raw.data()] = std::move(content);
    }
    return true;
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

bool Store::link(std::uint32_t self, std::uint32_t parent, const std::string& fileName,
                 std::string_view dnText, std::string& error) {
    if ((nodes_.size() + 1) * 2 > index_.size())
        growIndex();
    attach(self, parent, placingLate_);
    if (indexChild(self) != kNone) {
        error = at(fileName, nodes_[self].recordLine,
                   "duplicate entry \"" + std::string(dnText) + "\"");
        return false;
    }
    return true;
}

// Where a node's record stands in the files: siblings are handed out in that order, whatever
// order they were placed in.
std::pair<std::size_t, const char*> Store::documentPosition(std::uint32_t n) const {
    return {fileOf(nodes_[n].record), nodes_[n].record};
}

std::size_t Store::fileOf(const char* at) const {
    for (std::size_t f = 0; f < texts_.size(); ++f) {
        const TextBuffer& t = texts_[f];
        if (std::less_equal<const char*>()(t.data(), at) &&
            std::less_equal<const char*>()(at, t.data() + t.size()))
            return f;
    }
    return texts_.size();
}

std::size_t Store::textBytes() const {
    std::size_t n = 0;
    for (const TextBuffer& t : texts_)
        n += t.size();
    return n;
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

void Store::placeLate(std::vector<LatePlacement>& late) {
    std::sort(late.begin(), late.end(), [](const LatePlacement& a, const LatePlacement& b) {
        if (a.parent != b.parent)
            return a.parent < b.parent;
        if (a.file != b.file)
            return a.file < b.file;
        return std::less<const char*>()(a.text, b.text);
    });
    // Each parent's siblings are already in document order: the late ones are merged in.
    for (std::size_t i = 0; i < late.size();) {
        const std::uint32_t parent = late[i].parent;
        std::uint32_t& first = parent == kRoot ? rootFirst_ : nodes_[parent].firstChild;
        std::uint32_t& last = parent == kRoot ? rootLast_ : nodes_[parent].lastChild;
        std::uint32_t& count = parent == kRoot ? rootCount_ : nodes_[parent].childCount;
        std::uint32_t* link = &first;
        for (; i < late.size() && late[i].parent == parent; ++i) {
            const std::pair<std::size_t, const char*> pos{late[i].file, late[i].text};
            while (*link != kNone && documentPosition(*link) < pos)
                link = &nodes_[*link].nextSibling;
            const std::uint32_t self = late[i].self;
            nodes_[self].nextSibling = *link;
            *link = self;
            link = &nodes_[self].nextSibling;
            if (nodes_[self].nextSibling == kNone)
                last = self;
            ++count;
        }
    }
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
        index_.assign(index_.size(), kEmptySlot);
        for (std::uint32_t n = 0; n < nodes_.size(); ++n)
            if (nodes_[n].parent != kNone)
                indexChild(n);
    }
    wholeRoots_.clear();

    // Entries read before their parent: parents first, as an entry has more components than
    // any of its ancestors. One whose parent never came is a naming context. Each is indexed at
    // once (a later one may be below it) and joins its siblings afterwards, all of one parent's
    // in one pass: inserting each on its own walked the sibling list, which made a unit whose
    // members all come before it (users moved into a new unit, as slapcat writes them) load in
    // time growing with the square of their number.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.depth < b.depth; });
    std::vector<LatePlacement> late;
    late.reserve(pending_.size());
    for (Pending& p : pending_) {
        names::parseDn(p.dn, rdns);
        std::uint32_t parent = findParent(rdns, 1);
        if (parent == kNone) {
            makeWhole(nodes_[p.self], rdns);
            parent = kRoot;
        }
        if ((nodes_.size() + 1) * 2 > index_.size())
            growIndex();
        nodes_[p.self].parent = parent;
        nodes_[p.self].nextSibling = kNone;
        if (indexChild(p.self) != kNone) {
            error = at(p.fileName, nodes_[p.self].recordLine, "duplicate entry \"" + p.dn + "\"");
            return false;
        }
        const auto [file, text] = documentPosition(p.self);
        late.push_back(LatePlacement{parent, file, text, p.self});
    }
    placeLate(late);
    pending_.clear();
    pending_.shrink_to_fit();
    parentByText_ = {};
    parentTexts_.clear();
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
                      bool valuesWanted, bool asStored) const {
    const Node& node = nodes_[n];
    out.name.clear();
    out.typedName.clear();
    if (node.parent == kRoot || node.parent == kNone) {
        appendTypelessName(n, out.name);
        appendTypedName(n, out.typedName);
    } else {
        // Entries are mostly handed out after their siblings: the parent's names are kept.
        if (node.parent != nameParent_) {
            nameParent_ = kNone;
            parentName_.clear();
            appendTypelessName(node.parent, parentName_);
            parentTypedName_.clear();
            appendTypedName(node.parent, parentTypedName_);
            nameParent_ = node.parent;
        }
        appendTypelessComponent(n, out.name);
        out.name.push_back('.');
        out.name += parentName_;
        appendTypedComponent(n, out.typedName);
        out.typedName.push_back('.');
        out.typedName += parentTypedName_;
    }
    out.objectFlags = node.flags & ~(kWholeName | kHasUrl);
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
    // Records mostly name their attributes as the one before did, line for line.
    if (lineNames_.size() < lines.size())
        lineNames_.resize(lines.size(), {std::string(), -1});
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const ldif::Line& l = lines[i];
        if (i == 1 || l.name != lines[i - 1].name) {
            auto& [name, index] = lineNames_[i];
            if (name != l.name) {
                name.assign(l.name);
                index = attributeIndex(l.name);
            }
            a = index;
        }
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
        if (asStored)
            ea.values[k].assign(value);
        else
            normalizeValue(ea.syntax, value, mapper_, ea.values[k]);
    }
    out.attributes.resize(slotAttr.size());
    for (std::size_t s = 0; s < slotAttr.size(); ++s)
        out.attributes[s].values.resize(slotCount[s]);
}

} // namespace kvx::client::embedded

namespace kvx::client::embedded {

bool Store::checkValues(std::uint32_t from, std::uint32_t to, const std::atomic<bool>* stop,
                        std::string& error) const {
    const auto& attrs = schema_.attributes();
    std::vector<char> seen(attrs.size(), 0); // single-valued attributes met in the record
    std::vector<int> seenList;
    std::string scratch, why, fault;
    std::size_t faultLine = 0;
    to = std::min<std::uint32_t>(to, static_cast<std::uint32_t>(nodes_.size()));
    for (std::uint32_t n = from; n < to; ++n) {
        if (stop && (n & 1023) == 0 && stop->load(std::memory_order_relaxed))
            return true;
        const Node& node = nodes_[n];
        for (int a : seenList)
            seen[static_cast<std::size_t>(a)] = 0;
        seenList.clear();
        bool first = true;
        std::string_view lastName;
        int lastAttr = -1;
        auto check = [&](const ldif::Line& l) {
            if (first) {
                first = false; // the record's "dn:" line
                return true;
            }
            if (names::equalNoCase(l.name, "control") || names::equalNoCase(l.name, "changetype"))
                return true; // read when the record was loaded
            // Lines of one attribute usually follow each other: look a name up once.
            const int a = l.name == lastName && lastAttr >= 0 ? lastAttr : attributeIndex(l.name);
            lastName = l.name;
            lastAttr = a;
            faultLine = l.lineNo;
            if (a < 0) {
                fault = "unknown attribute type \"" + std::string(l.name) + "\"";
                return false;
            }
            std::string_view value;
            if (l.kind == ldif::Line::Url) {
                auto it = urlValues_.find(l.raw.data());
                if (it == urlValues_.end())
                    return true;
                value = it->second;
            } else if (!ldif::lineValue(l, scratch, value)) {
                fault = "bad base64 value";
                return false;
            }
            const nuint32 syntax = attrs[a].syntax;
            // The stored form (names inside are DNs) and the syntax's own rules both must hold.
            if (!checkStoredValue(syntax, value, &why) || !validValue(syntax, value, &why)) {
                fault = "bad value of \"" + std::string(l.name) + "\": " + why;
                return false;
            }
            if (attrs[a].singleValue) {
                if (seen[static_cast<std::size_t>(a)]) {
                    fault = "more than one value for the single-valued attribute \"" +
                            std::string(l.name) + "\"";
                    return false;
                }
                seen[static_cast<std::size_t>(a)] = 1;
                seenList.push_back(a);
            }
            return true;
        };
        fault.clear();
        std::size_t errorLine = node.recordLine;
        if (!ldif::forEachLine(std::string_view(node.record, node.recordLen), node.recordLine,
                               check, why, errorLine)) {
            fault = why;
            faultLine = errorLine;
        }
        if (!fault.empty()) {
            std::size_t f = fileOf(node.record);
            error =
                at(f < textNames_.size() ? textNames_[f] : std::string("ldif"), faultLine, fault);
            return false;
        }
    }
    return true;
}

} // namespace kvx::client::embedded
