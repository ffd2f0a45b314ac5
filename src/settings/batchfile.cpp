#include "settings/batchfile.h"

#include "settings/commandline.h"
#include "settings/profile.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace kvx::settings {

namespace {

const std::string kSection = kBatchSection;

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The number of a numbered key such as "Context12" or "lvwSelectedeAttributes0": the key must be
// `prefix` (any case) followed by the decimal text a save writes, with no sign and no leading
// zero, as only such a key answers the read of that number.
std::optional<std::int64_t> keyNumber(const std::string& key, const std::string& prefix) {
    if (key.size() <= prefix.size() || key.size() > prefix.size() + 10) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lowerAscii(key[i]) != lowerAscii(prefix[i])) {
            return std::nullopt;
        }
    }
    const std::string digits = key.substr(prefix.size());
    if (digits.size() > 1 && digits.front() == '0') {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::string contextKey(std::int32_t k) {
    return "Context" + std::to_string(k);
}
std::string attributeNameKey(std::int32_t row) {
    return "lvwSelectedeAttributes" + std::to_string(row);
}
std::string attributeSingleKey(std::int32_t row) {
    return "lvwSelectedeAttributesSingle" + std::to_string(row);
}
std::string attributeSyntaxKey(std::int32_t row) {
    return "lvwSelectedeAttributesSyntax" + std::to_string(row);
}

std::optional<std::string> locateBatchSettingsFile(const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.find('/') == std::string::npos && isReadableFile(name)) {
        // Made absolute, so that the location rule takes it as it is.
        std::error_code ec;
        const std::filesystem::path here = std::filesystem::current_path(ec);
        if (!ec) {
            return (here / name).string();
        }
    }
    std::string path = locateProfile(name);
    if (!isReadableFile(path)) {
        return std::nullopt;
    }
    return path;
}

BatchSettings readBatchSettings(const std::string& path) {
    // The file is read once and every key looked up in what was read: the values are those
    // single reads of each key would give, and a file of thousands of rows loads at once.
    const ProfileSection file = ProfileSection::read(path, kSection);
    auto readText = [&file](const std::string& key) { return file.text(key, std::string()); };
    auto readFlag = [&file](const std::string& key) { return file.integer(key, 0) != 0; };
    const std::vector<std::string>& keys = file.keys();

    BatchSettings s;
    s.treeName = readText("TreeName");

    const std::int32_t contextCount = file.integer("ContextCount", 0);
    std::vector<std::string> chain;
    if (contextCount < 1) {
        // One look, for the key numbered by the count itself.
        const std::string key = contextKey(contextCount);
        if (file.has(key)) {
            chain.push_back(readText(key));
        }
    } else {
        // Only the numbered keys the file holds: a count may name far more than it has, and a
        // key that is absent would read as empty text.
        std::set<std::int32_t> numbers;
        for (const std::string& k : keys) {
            const std::optional<std::int64_t> n = keyNumber(k, "Context");
            if (n && *n >= 1 && *n <= contextCount) {
                numbers.insert(static_cast<std::int32_t>(*n));
            }
        }
        for (std::int32_t n : numbers) {
            chain.push_back(readText(contextKey(n)));
        }
    }
    s.startingPoint = std::move(chain);

    s.className = readText("classtype");
    s.searchFilter = readText("txtSearchFilter");
    s.outputWindow = readFlag("chkOutputWindow");
    s.outputFile = readFlag("chkOutputFile");
    s.hideEmptyColumns = readFlag("chkHideEmptyColumns");
    s.outputFileName = readText("txtOutputFilename");
    s.outputSeparator = readText("txtOutputSeparator");
    s.encloseQuotes = readFlag("chkOutputEncloseQuotes");
    s.columnHeaders = readFlag("chkOutputColumnHeaders");
    s.outputChanges = readFlag("chkOutputChanges");
    s.tabular = readFlag("optResultsTabular");
    s.tabularCross = readFlag("optResultsTabularCross");
    s.nonTabular = readFlag("optResultsNonTabular");
    s.expandedAttribute = file.integer("cboAttributesMulti", 0);

    const std::int32_t rows =
        std::clamp(file.integer("AttributeCount", 0), 0, kMaxBatchAttributeRows);
    s.attributes.resize(static_cast<std::size_t>(rows));
    for (std::int32_t i = 0; i < rows; ++i) {
        SelectedAttributeRow& row = s.attributes[static_cast<std::size_t>(i)];
        row.name = readText(attributeNameKey(i));
        row.singleMulti = readText(attributeSingleKey(i));
        row.syntax = readText(attributeSyntaxKey(i));
    }
    return s;
}

BatchWriteResult writeBatchSettings(const std::string& path, const BatchSettings& s) {
    // The whole file is made in memory and replaces the old one at once: it holds exactly the
    // keys of this save, and a save that fails part-way (a full disk) leaves the old file whole.
    ProfileSectionWriter file(kSection);
    file.set("TreeName", s.treeName);
    if (!s.startingPoint) {
        file.commit(path);
        return BatchWriteResult::NoStartingPoint;
    }
    // "[root]" is saved as one empty piece.
    std::vector<std::string> chain = *s.startingPoint;
    if (chain.empty()) {
        chain.emplace_back();
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        file.set(contextKey(static_cast<std::int32_t>(i + 1)), chain[i]);
    }
    file.set("ContextCount", static_cast<std::int32_t>(chain.size()));
    file.set("classtype", s.className);
    if (!s.searchFilter.empty()) {
        file.set("txtSearchFilter", s.searchFilter);
    }
    file.set("chkOutputWindow", s.outputWindow ? 1 : 0);
    file.set("chkOutputFile", s.outputFile ? 1 : 0);
    file.set("chkHideEmptyColumns", s.hideEmptyColumns ? 1 : 0);
    file.set("txtOutputFilename", s.outputFileName);
    file.set("txtOutputSeparator", s.outputSeparator);
    file.set("chkOutputEncloseQuotes", s.encloseQuotes ? 1 : 0);
    file.set("chkOutputColumnHeaders", s.columnHeaders ? 1 : 0);
    if (s.outputChanges) {
        file.set("chkOutputChanges", 1);
    }
    file.set("optResultsTabular", s.tabular ? 1 : 0);
    file.set("optResultsTabularCross", s.tabularCross ? 1 : 0);
    file.set("optResultsNonTabular", s.nonTabular ? 1 : 0);
    file.set("cboAttributesMulti", s.expandedAttribute);
    file.set("AttributeCount", static_cast<std::int32_t>(s.attributes.size()));
    for (std::size_t i = 0; i < s.attributes.size(); ++i) {
        const auto row = static_cast<std::int32_t>(i);
        file.set(attributeNameKey(row), s.attributes[i].name);
        file.set(attributeSingleKey(row), s.attributes[i].singleMulti);
        file.set(attributeSyntaxKey(row), s.attributes[i].syntax);
    }
    file.commit(path);
    return BatchWriteResult::Written;
}

} // namespace kvx::settings
