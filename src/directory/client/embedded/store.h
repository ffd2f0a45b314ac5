// The embedded directory's in-memory tree: the schema, the file texts the entries point into,
// and one compact node per entry.
//
// Entries are not copied out of the LDIF text: a node keeps a view of its record and the
// record's lines are read again when the entry is handed out. Only the naming component of each
// entry, its object classes and its links to parent and children are kept apart.
#pragma once

#include "../backend.h"
#include "../names.h"
#include "../normalize.h"
#include "../schema_text.h"
#include "bigmem.h"
#include "ldif.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kvx::client::embedded {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kRoot = 0xFFFFFFFEu;

struct Node {
    const char* record = nullptr; // the record's lines after its "dn:" line
    std::uint32_t recordLen = 0;
    std::uint32_t parent = kNone; // kNone until the entry is placed in the tree
    std::uint32_t firstChild = kNone;
    std::uint32_t lastChild = kNone;
    std::uint32_t nextSibling = kNone;
    std::uint32_t childCount = 0;
    std::uint32_t nameOff = 0; // in Store::names_: the RDN type, then its value (escapes undone)
    std::uint32_t valueLen = 0;
    std::uint32_t classOff = 0; // in Store::classIds_
    std::uint16_t typeLen = 0;
    std::uint16_t classCount = 0;
    std::uint16_t baseClass = 0;
    std::uint16_t flags = 0; // DS_CONTAINER_ENTRY, DS_ALIAS_ENTRY, kWholeName
    std::uint32_t recordLine = 0;
};

// Node flag: a naming context of several components (dc=example,dc=org) below the root. Its
// "type" text is its typed name ("DC=example.DC=org") and its "value" text its typeless name
// ("example.org"), both written out already.
constexpr std::uint16_t kWholeName = 0x8000;
// Node flag: the record has values given by URL (read when it was loaded, kept in urlValues_).
constexpr std::uint16_t kHasUrl = 0x4000;

class Store {
public:
    Store();

    // Texts larger than this are read in two halves at once.
    static constexpr std::size_t kSplitAbove = std::size_t{8} << 20;
    void setSplitAbove(std::size_t bytes) { splitAbove_ = bytes; }

    // Loading: schema texts, then finishSchema() (the built-in definitions under them), then
    // LDIF texts, then finishEntries(). Loading reads what makes the tree (each record's name,
    // object classes and layout); the values are checked apart by checkValues().
    bool addSchemaText(std::string text, const std::string& fileName, std::string& error);
    bool finishSchema(std::string& error);
    // Instead of schema texts and finishSchema(): a schema resolved before (by finishSchema()).
    bool useSchema(const schema::Schema& resolved, std::string& error);
    bool addLdifText(TextBuffer text, const std::string& fileName, const std::string& folder,
                     std::string& error);
    bool addLdifText(std::string_view text, const std::string& fileName, const std::string& folder,
                     std::string& error) {
        return addLdifText(TextBuffer(text), fileName, folder, error);
    }
    // Places the entries whose parent came later or never came: those without a parent in the
    // files are naming contexts below the root, whatever their number of components.
    bool finishEntries(std::string& error);

    // Checks the values of the entries [from, to) in node order (document order within each
    // file) against the schema: known attribute types, base64, the syntax of each value, one
    // value of single-valued attributes. False with `error` (file, line and fault) at the first
    // fault. Safe to run beside readers of the store; `stop` ends it early (returning true).
    bool checkValues(std::uint32_t from, std::uint32_t to, const std::atomic<bool>* stop,
                     std::string& error) const;
    // Bytes of LDIF text held.
    std::size_t textBytes() const;

    const schema::Schema& schema() const { return schema_; }
    using Nodes = std::vector<Node, LargeAllocator<Node>>;
    const Nodes& nodes() const { return nodes_; }
    std::uint32_t rootFirstChild() const { return rootFirst_; }
    std::uint32_t rootChildCount() const { return rootCount_; }

    // Node of a typeless (or typed) full name; kRoot for the root, kNone when none.
    std::uint32_t find(std::string_view fullName) const;
    // The child of `parent` named `value`; `whole`: a naming context of several components,
    // named by its typeless name.
    std::uint32_t child(std::uint32_t parent, std::string_view value, bool whole = false) const;

    void appendTypelessName(std::uint32_t node, std::string& out) const;
    void appendTypedName(std::uint32_t node, std::string& out) const;
    // The node's own component of those names.
    void appendTypelessComponent(std::uint32_t node, std::string& out) const;
    void appendTypedComponent(std::uint32_t node, std::string& out) const;
    std::string_view rdnType(std::uint32_t n) const {
        return std::string_view(names_).substr(nodes_[n].nameOff, nodes_[n].typeLen);
    }
    std::string_view rdnValue(std::uint32_t n) const {
        return std::string_view(names_).substr(nodes_[n].nameOff + nodes_[n].typeLen,
                                               nodes_[n].valueLen);
    }
    bool nodeHasClass(std::uint32_t n, const std::vector<char>& classSet) const;

    // Fills `out` with the entry of `node`: names, flags, counts, base class and, when `wanted`
    // is given, the attributes it marks (by attribute index; nullptr: none, and `all`: every
    // attribute), values normalised unless `valuesWanted` is false (`asStored`: as the LDIF
    // holds them, as a filter compares them). Reuses `out`'s storage.
    void fillEntry(std::uint32_t node, Entry& out, const std::vector<char>* wanted, bool all,
                   bool valuesWanted, bool asStored = false) const;
    void fillRootEntry(Entry& out) const;

    int attributeIndex(std::string_view name) const; // by any name, -1 if none

private:
    class Mapper : public NameMapper {
    public:
        explicit Mapper(const schema::Schema& s) : s_(s) {}
        void appendClassName(std::string_view ldapName, std::string& out) const override;
        void appendAttributeName(std::string_view ldapName, std::string& out) const override;

    private:
        const schema::Schema& s_;
    };

    struct DnRef; // where a scanned record's "dn:" value stands
    bool indexSchema(std::string& error);
    struct Chunk; // what one scan of part of a text found
    void scanChunk(std::string_view text, std::size_t begin, std::size_t end, bool first,
                   Chunk& out) const;
    bool placeScanned(std::uint32_t self, const std::string& fileName, const std::string& folder,
                      std::string& error);
    bool readUrlValues(const Node& node, const std::string& folder, std::string& error,
                       const std::string& fileName);
    static std::uint64_t childHash(std::uint32_t parent, std::string_view value);
    // Adds a placed node to the index; the node already there under that name, kNone if none.
    std::uint32_t indexChild(std::uint32_t self);
    // At least `atLeast` slots (0: twice as many), every placed node indexed again.
    void growIndex(std::size_t atLeast = 0);
    std::size_t fileOf(const char* at) const;
    // The node the components rdns[from..] name, walking down from the root; kNone if none.
    // `topFound`: whether the walk got past the root (the entry lies in a known context).
    std::uint32_t findParent(const std::vector<names::Rdn>& rdns, std::size_t from,
                             bool* topFound = nullptr) const;
    void makeWhole(Node& node, const std::vector<names::Rdn>& rdns);
    std::pair<std::size_t, const char*> documentPosition(std::uint32_t n) const;
    // Adds `self` to `parent`'s children: last, or among them in document order.
    void attach(std::uint32_t self, std::uint32_t parent, bool inDocumentOrder);
    // An entry read before its parent, indexed and waiting to join its siblings.
    struct LatePlacement {
        std::uint32_t parent;
        std::size_t file;
        const char* text; // where its record stands in that file
        std::uint32_t self;
    };
    void placeLate(std::vector<LatePlacement>& late);
    std::uint32_t rootOf(const std::vector<std::string>& parts, std::size_t& used) const;
    bool link(std::uint32_t self, std::uint32_t parent, const std::string& fileName,
              std::string_view dnText, std::string& error);

    schema::Schema files_; // the tree's schema files, until finishSchema()
    schema::Schema schema_;
    Mapper mapper_;
    std::deque<TextBuffer> texts_;                           // file texts; nodes point into them
    std::vector<std::string> textNames_;                     // the file name of each text
    std::unordered_map<const char*, std::string> urlValues_; // ":<" values by their raw text
    std::string names_;
    using ClassIds = std::vector<std::uint16_t, LargeAllocator<std::uint16_t>>;
    ClassIds classIds_;
    Nodes nodes_;
    std::uint32_t rootFirst_ = kNone;
    std::uint32_t rootLast_ = kNone;
    std::uint32_t rootCount_ = 0;
    // Placed nodes by (parent, naming value): open addressing, at most half full.
    std::vector<std::uint64_t, LargeAllocator<std::uint64_t>> index_;
    std::vector<std::size_t> wholeLengths_; // component counts of kWholeName nodes, largest first
    // Entries read before their parent (or without one), placed by finishEntries().
    struct Pending {
        std::string dn;
        std::string fileName;
        std::size_t depth = 0;  // number of components
        std::uint32_t self = 0; // the node
    };
    std::vector<Pending> pending_;
    std::vector<Pending> wholeRoots_; // naming contexts of several components, until finished
    bool placingLate_ = false;        // finishEntries() is placing entries read out of order
    std::size_t splitAbove_ = kSplitAbove;
    // Attribute indexes by any of their names, compared without regard to case (open
    // addressing; the hot path of loading and searching, so no string is built to look up).
    struct NameSlot {
        std::string lowerName;
        int index = -1;
    };
    std::vector<NameSlot> attrNames_;
    std::vector<char> structural_; // by class index
    // Parents by the text that names them in the records' DNs (exactly as written): most
    // entries share their parent's spelling with many others, and are placed without reading
    // their DN past its first component.
    std::unordered_map<std::string_view, std::uint32_t> parentByText_;
    std::deque<std::string> parentTexts_; // keys of parentByText_ that are not file text
    // Scratch space of the loader.
    std::vector<ldif::Line> lines_;
    std::string scratch_;
    std::vector<names::Rdn> rdns_;
    names::Rdn rdn_;
    // Scratch space of fillEntry (entries are handed out one at a time).
    mutable std::vector<ldif::Line> fillLines_;
    mutable std::vector<int> slotAttr_;
    mutable std::vector<std::size_t> slotCount_;
    mutable std::string fillScratch_;
    mutable std::vector<std::pair<std::string, int>> lineNames_; // attribute by line position
    mutable std::uint32_t nameParent_ = kNone;                   // the parent whose names follow
    mutable std::string parentName_;
    mutable std::string parentTypedName_;
};

} // namespace kvx::client::embedded
