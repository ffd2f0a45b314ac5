#include "support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kvx::test {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

std::string entry(const std::string& dn, const std::string& classes, const std::string& more) {
    std::string text = "dn: " + dn + "\nobjectClass: top\n";
    std::istringstream names(classes);
    for (std::string name; names >> name;)
        text += "objectClass: " + name + "\n";
    const std::size_t equals = dn.find('=');
    const std::size_t comma = dn.find(',');
    text += dn.substr(0, equals) + ": " + dn.substr(equals + 1, comma - equals - 1) + "\n";
    return text + more;
}

std::string container(const std::string& dn) {
    const std::string type = dn.substr(0, dn.find('='));
    if (type == "o")
        return entry(dn, "organization");
    if (type == "ou")
        return entry(dn, "organizationalUnit");
    if (type == "c")
        return entry(dn, "country");
    if (type == "l")
        return entry(dn, "locality");
    throw std::invalid_argument("no container class for " + dn);
}

std::string ldif(const std::vector<std::string>& records, bool versioned) {
    std::string text = versioned ? "version: 1\n" : "";
    for (std::size_t i = 0; i < records.size(); ++i)
        text += (i > 0 || versioned ? "\n" : "") + records[i];
    return text;
}

} // namespace kvx::test
