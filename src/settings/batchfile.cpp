#include "settings/batchfile.h"

#include "settings/commandline.h"
#include "settings/profile.h"

#include <algorithm>
#include <cstdio>
#include <set>

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

std::string readText(const std::string& path, const std::string& key) {
    return ReadIniString(path, kSection, key, std::string());
}

bool readFlag(const std::string& path, const std::string& key) {
    return ReadIniInteger(path, kSection, key, 0) != 0;
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

BatchSettings readBatchSettings(const std::string& path) {
    BatchSettings s;
    // Which numbered keys the file holds: a count may name far more than the file has, and a
    // key that is absent reads as empty text without asking the file.
    const std::vector<std::string> keys = ReadIniKeys(path, kSection);

    s.treeName = readText(path, "TreeName");

    const std::int32_t contextCount = ReadIniInteger(path, kSection, "ContextCount", 0);
    std::vector<std::string> chain;
    if (contextCount < 1) {
        // One look, for the key numbered by the count itself.
        const std::string key = contextKey(contextCount);
        const bool present = std::any_of(keys.begin(), keys.end(), [&key](const std::string& k) {
            return equalIgnoringAsciiCase(k, key);
        });
        if (present) {
            chain.push_back(readText(path, key));
        }
    } else {
        std::set<std::int32_t> numbers;
        for (const std::string& k : keys) {
            const std::optional<std::int64_t> n = keyNumber(k, "Context");
            if (n && *n >= 1 && *n <= contextCount) {
                numbers.insert(static_cast<std::int32_t>(*n));
            }
        }
        for (std::int32_t n : numbers) {
            chain.push_back(readText(path, contextKey(n)));
        }
    }
    s.startingPoint = std::move(chain);

    s.className = readText(path, "classtype");
    s.outputWindow = readFlag(path, "chkOutputWindow");
    s.outputFile = readFlag(path, "chkOutputFile");
    s.hideEmptyColumns = readFlag(path, "chkHideEmptyColumns");
    s.outputFileName = readText(path, "txtOutputFilename");
    s.outputSeparator = readText(path, "txtOutputSeparator");
    s.encloseQuotes = readFlag(path, "chkOutputEncloseQuotes");
    s.columnHeaders = readFlag(path, "chkOutputColumnHeaders");
    s.tabular = readFlag(path, "optResultsTabular");
    s.tabularCross = readFlag(path, "optResultsTabularCross");
    s.nonTabular = readFlag(path, "optResultsNonTabular");
    s.expandedAttribute = ReadIniInteger(path, kSection, "cboAttributesMulti", 0);

    const std::int32_t rows =
        std::clamp(ReadIniInteger(path, kSection, "AttributeCount", 0), 0, kMaxBatchAttributeRows);
    std::set<std::int32_t> present;
    for (const std::string& k : keys) {
        for (const char* prefix : {"lvwSelectedeAttributes", "lvwSelectedeAttributesSingle",
                                   "lvwSelectedeAttributesSyntax"}) {
            const std::optional<std::int64_t> n = keyNumber(k, prefix);
            if (n && *n < rows) {
                present.insert(static_cast<std::int32_t>(*n));
            }
        }
    }
    s.attributes.resize(static_cast<std::size_t>(rows));
    for (std::int32_t i : present) {
        SelectedAttributeRow& row = s.attributes[static_cast<std::size_t>(i)];
        row.name = readText(path, attributeNameKey(i));
        row.singleMulti = readText(path, attributeSingleKey(i));
        row.syntax = readText(path, attributeSyntaxKey(i));
    }
    return s;
}

BatchWriteResult writeBatchSettings(const std::string& path, const BatchSettings& s) {
    // The save starts from an empty file wherever the location rule finds it. The copy beside
    // the program is emptied rather than removed: removed, the location rule would send the
    // writes that follow to another folder.
    const std::string target = locateProfile(path);
    const std::string beside = programFolder();
    std::FILE* emptied = nullptr;
    if (!beside.empty() && target.rfind(beside, 0) == 0 && target != path) {
        emptied = std::fopen(target.c_str(), "w");
    }
    if (emptied != nullptr) {
        std::fclose(emptied);
    } else {
        std::remove(target.c_str());
    }
    WriteIniString(path, kSection, "TreeName", s.treeName);
    if (!s.startingPoint) {
        return BatchWriteResult::NoStartingPoint;
    }
    // "[root]" is saved as one empty piece.
    std::vector<std::string> chain = *s.startingPoint;
    if (chain.empty()) {
        chain.emplace_back();
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        WriteIniString(path, kSection, contextKey(static_cast<std::int32_t>(i + 1)), chain[i]);
    }
    WriteIniInteger(path, kSection, "ContextCount", static_cast<std::int32_t>(chain.size()));
    WriteIniString(path, kSection, "classtype", s.className);
    WriteIniInteger(path, kSection, "chkOutputWindow", s.outputWindow ? 1 : 0);
    WriteIniInteger(path, kSection, "chkOutputFile", s.outputFile ? 1 : 0);
    WriteIniInteger(path, kSection, "chkHideEmptyColumns", s.hideEmptyColumns ? 1 : 0);
    WriteIniString(path, kSection, "txtOutputFilename", s.outputFileName);
    WriteIniString(path, kSection, "txtOutputSeparator", s.outputSeparator);
    WriteIniInteger(path, kSection, "chkOutputEncloseQuotes", s.encloseQuotes ? 1 : 0);
    WriteIniInteger(path, kSection, "chkOutputColumnHeaders", s.columnHeaders ? 1 : 0);
    WriteIniInteger(path, kSection, "optResultsTabular", s.tabular ? 1 : 0);
    WriteIniInteger(path, kSection, "optResultsTabularCross", s.tabularCross ? 1 : 0);
    WriteIniInteger(path, kSection, "optResultsNonTabular", s.nonTabular ? 1 : 0);
    WriteIniInteger(path, kSection, "cboAttributesMulti", s.expandedAttribute);
    WriteIniInteger(path, kSection, "AttributeCount",
                    static_cast<std::int32_t>(s.attributes.size()));
    for (std::size_t i = 0; i < s.attributes.size(); ++i) {
        const auto row = static_cast<std::int32_t>(i);
        WriteIniString(path, kSection, attributeNameKey(row), s.attributes[i].name);
        WriteIniString(path, kSection, attributeSingleKey(row), s.attributes[i].singleMulti);
        WriteIniString(path, kSection, attributeSyntaxKey(row), s.attributes[i].syntax);
    }
    return BatchWriteResult::Written;
}

} // namespace kvx::settings
