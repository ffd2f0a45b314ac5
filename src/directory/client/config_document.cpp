#include "config_document.h"

#include "names.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx::client {

namespace {

using names::equalNoCase;

std::string trimmed(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool isComment(const std::string& t) {
    return !t.empty() && (t[0] == ';' || t[0] == '#');
}

} // namespace

ConfigDocument::ConfigDocument(const std::string& text) {
    if (text.find("\r\n") != std::string::npos)
        eol_ = "\r\n";
    finalEol_ = text.empty() || text.back() == '\n';
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(Line{std::move(line), {}, false, {}});
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    reindex();
}

void ConfigDocument::reindex() {
    std::string section;
    for (Line& l : lines_) {
        std::string t = trimmed(l.text);
        l.header = false;
        l.key.clear();
        if (!t.empty() && t[0] == '[' && t.back() == ']') {
            section = trimmed(t.substr(1, t.size() - 2));
            l.header = true;
        } else if (!t.empty() && !isComment(t)) {
            std::size_t eq = t.find('=');
            if (eq != std::string::npos)
                l.key = trimmed(t.substr(0, eq));
        }
        l.section = section;
    }
}

std::string ConfigDocument::text() const {
    std::string out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        out += lines_[i].text;
        if (i + 1 < lines_.size() || finalEol_)
            out += eol_;
    }
    return out;
}

std::vector<std::string> ConfigDocument::sections() const {
    std::vector<std::string> out;
    for (const Line& l : lines_)
        if (l.header)
            out.push_back(l.section);
    return out;
}

long ConfigDocument::headerOf(const std::string& section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].header && equalNoCase(lines_[i].section, section))
            return static_cast<long>(i);
    return -1;
}

bool ConfigDocument::hasSection(const std::string& section) const {
    return headerOf(section) >= 0;
}

std::optional<std::string> ConfigDocument::value(const std::string& section,
                                                 const std::string& key) const {
    long h = headerOf(section);
    if (h < 0)
        return std::nullopt;
    for (std::size_t i = static_cast<std::size_t>(h) + 1; i < lines_.size() && !lines_[i].header;
         ++i) {
        if (equalNoCase(lines_[i].key, key)) {
            const std::string& t = lines_[i].text;
            return trimmed(t.substr(t.find('=') + 1));
        }
    }
    return std::nullopt;
}

void ConfigDocument::setValue(const std::string& section, const std::string& key,
                              const std::string& value) {
    long h = headerOf(section);
    if (h < 0) {
        // A new section goes at the end, after a blank line.
        if (!lines_.empty() && !trimmed(lines_.back().text).empty())
            lines_.push_back(Line{});
        lines_.push_back(Line{"[" + section + "]", {}, false, {}});
        lines_.push_back(Line{key + "=" + value, {}, false, {}});
        finalEol_ = true;
        reindex();
        return;
    }
    std::size_t lastKey = static_cast<std::size_t>(h);
    for (std::size_t i = static_cast<std::size_t>(h) + 1; i < lines_.size() && !lines_[i].header;
         ++i) {
        if (equalNoCase(lines_[i].key, key)) {
            std::string& t = lines_[i].text;
            std::size_t eq = t.find('=');
            // "Key = value" keeps the blank after its "=".
            std::size_t keep = eq + 1;
            while (keep < t.size() && (t[keep] == ' ' || t[keep] == '\t'))
                ++keep;
            t = t.substr(0, keep) + value;
            return;
        }
        if (!lines_[i].key.empty())
            lastKey = i;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastKey) + 1,
                  Line{key + "=" + value, {}, false, {}});
    reindex();
}

void ConfigDocument::removeKey(const std::string& section, const std::string& key) {
    long h = headerOf(section);
    if (h < 0)
        return;
    for (std::size_t i = static_cast<std::size_t>(h) + 1; i < lines_.size() && !lines_[i].header;
         ++i) {
        if (equalNoCase(lines_[i].key, key)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            reindex();
            return;
        }
    }
}

void ConfigDocument::removeSection(const std::string& section) {
    long h = headerOf(section);
    if (h < 0)
        return;
    std::size_t first = static_cast<std::size_t>(h);
    while (first > 0 && isComment(trimmed(lines_[first - 1].text)))
        --first;
    std::size_t end = static_cast<std::size_t>(h) + 1;
    while (end < lines_.size() && !lines_[end].header)
        ++end;
    // The comment block of the next section stays with it.
    if (end < lines_.size())
        while (end > static_cast<std::size_t>(h) + 1 && isComment(trimmed(lines_[end - 1].text)))
            --end;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    // Where the section stood, at most one blank line remains.
    auto blank = [&](std::size_t i) {
        return i < lines_.size() && trimmed(lines_[i].text).empty();
    };
    if (first > 0 && blank(first - 1) && (blank(first) || first == lines_.size()))
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first) - 1);
    reindex();
}

void ConfigDocument::renameSection(const std::string& from, const std::string& to) {
    long h = headerOf(from);
    if (h < 0)
        return;
    std::string& t = lines_[static_cast<std::size_t>(h)].text;
    std::size_t open = t.find('[');
    std::size_t close = t.rfind(']');
    t = t.substr(0, open + 1) + to + t.substr(close);
    reindex();
}

std::string treeSection(const std::string& treeName) {
    return "Tree " + treeName;
}

void putTree(ConfigDocument& doc, const TreeSource& tree, const std::string& previousName) {
    const std::string section = treeSection(tree.name);
    if (!previousName.empty() && !equalNoCase(previousName, tree.name) &&
        doc.hasSection(treeSection(previousName)) && !doc.hasSection(section))
        doc.renameSection(treeSection(previousName), section);
    const std::pair<const char*, std::string> keys[] = {
        {"Folder", tree.folder},
        {"URL", tree.url},
        {"StartTLS", tree.url.empty() || !tree.startTls ? std::string() : std::string("yes")},
        {"Base", tree.base},
        {"BindDN", tree.bindDn},
        {"PasswordFile", tree.passwordFile},
        {"SASL", tree.sasl},
        {"ClientCertificate", tree.clientCertificate},
        {"ClientKey", tree.clientKey},
        {"CACertificate", tree.caCertificate},
    };
    for (const auto& [key, value] : keys) {
        if (value.empty())
            doc.removeKey(section, key);
        else
            doc.setValue(section, key, value);
    }
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error,
                         unsigned mode) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(path);
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string tmp = path + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error = path + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        saved = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        error = path + ": cannot be written: " + std::strerror(saved ? saved : errno);
        return false;
    }
    return true;
}

} // namespace kvx::client
