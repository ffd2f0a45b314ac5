// kvx-gentree: writes a large tree for the embedded directory (and for slapd): a copy of the
// ACME sample schema and one LDIF file with N users spread over regions and departments.
//
//   kvx-gentree --users N [--seed S] --out DIR [--schema PATH] [--regions R] [--departments D]
//               [--late P]
//
// The output depends only on the options: the same seed gives the same file, byte for byte.
// Random numbers come from our own generator, not from <random>'s distributions, whose results
// differ between standard libraries.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint64_t kMaxUsers = 10'000'000;
constexpr std::uint64_t kMaxContainers = 1000;

// splitmix64: small, fast, and good enough for test data.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); n > 0.
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>((next() >> 32) * n >> 32);
    }

private:
    std::uint64_t state_;
};

struct Person {
    std::string_view display; // as shown in names and values (may be UTF-8)
    std::string_view ascii;   // for login names and e-mail addresses
};

constexpr Person kGivenNames[] = {
    {"Ann", "ann"},       {"Bob", "bob"},       {"Carol", "carol"},     {"David", "david"},
    {"Eve", "eve"},       {"Frank", "frank"},   {"Grace", "grace"},     {"Hiro", "hiro"},
    {"Ivy", "ivy"},       {"Jack", "jack"},     {"Kate", "kate"},       {"Liam", "liam"},
    {"Mia", "mia"},       {"Noah", "noah"},     {"Olivia", "olivia"},   {"Paul", "paul"},
    {"Quinn", "quinn"},   {"Rosa", "rosa"},     {"Sam", "sam"},         {"Tara", "tara"},
    {"Uma", "uma"},       {"Victor", "victor"}, {"Wendy", "wendy"},     {"Xavier", "xavier"},
    {"Yara", "yara"},     {"Zack", "zack"},     {"José", "jose"},       {"Zoë", "zoe"},
    {"Øyvind", "oyvind"}, {"Chloé", "chloe"},   {"Siobhán", "siobhan"}, {"Björn", "bjorn"},
};
constexpr Person kSurnames[] = {
    {"Smith", "smith"},       {"Jones", "jones"},       {"Taylor", "taylor"},
    {"Brown", "brown"},       {"Williams", "williams"}, {"Wilson", "wilson"},
    {"Johnson", "johnson"},   {"Davies", "davies"},     {"Robinson", "robinson"},
    {"Wright", "wright"},     {"Thompson", "thompson"}, {"Evans", "evans"},
    {"Walker", "walker"},     {"White", "white"},       {"Roberts", "roberts"},
    {"Green", "green"},       {"Hall", "hall"},         {"Wood", "wood"},
    {"Jackson", "jackson"},   {"Clarke", "clarke"},     {"O'Neill", "oneill"},
    {"García", "garcia"},     {"Müller", "muller"},     {"Hansen", "hansen"},
    {"Dubois", "dubois"},     {"Tanaka", "tanaka"},     {"Nguyen", "nguyen"},
    {"Kowalski", "kowalski"},
};
constexpr std::string_view kTitles[] = {
    "Account Manager",  "Software Engineer", "Senior Software Engineer", "Test Engineer",
    "Accountant",       "Payroll Officer",   "Support Engineer",         "Team Leader",
    "Analyst",          "Consultant",        "Director, Operations",     "Office Manager",
    "Project \"Lead\"", "Designer",          "Systems Administrator",    "Trainee",
};
constexpr std::string_view kRegions[] = {
    "North", "South",  "East",  "West",   "Central", "Coast",   "Highlands", "Islands",
    "Metro", "Valley", "Lakes", "Plains", "Forest",  "Harbour", "Uplands",   "Borders",
};
constexpr std::string_view kDepartments[] = {
    "Sales",      "Marketing", "Engineering", "Finance",  "IT",        "Support",
    "Operations", "Legal",     "HR",          "Research", "Logistics", "Purchasing",
    "Facilities", "Quality",   "Training",    "Security",
};
// Groups every user may belong to besides the group of their department.
constexpr std::string_view kGlobalGroups[] = {"VPN Users", "Printer Operators", "Remote Workers",
                                              "Project Alpha", "Fire Wardens"};

template <class T, std::size_t N> constexpr std::uint32_t count(const T (&)[N]) {
    return static_cast<std::uint32_t>(N);
}

// The name of region r: from the list, then numbered once the list runs out.
std::string regionName(std::uint32_t r) {
    std::string name(kRegions[r % count(kRegions)]);
    if (r >= count(kRegions))
        name += ' ' + std::to_string(r / count(kRegions) + 1);
    return name;
}
std::string departmentName(std::uint32_t d) {
    std::string name(kDepartments[d % count(kDepartments)]);
    if (d >= count(kDepartments))
        name += ' ' + std::to_string(d / count(kDepartments) + 1);
    return name;
}

// True when an LDIF value must be base64-encoded (RFC 2849 SAFE-STRING is ASCII only).
bool needsBase64(std::string_view v) {
    if (v.empty())
        return false;
    if (v.front() == ' ' || v.front() == ':' || v.front() == '<' || v.back() == ' ')
        return true;
    for (unsigned char c : v)
        if (c == 0 || c == '\n' || c == '\r' || c >= 0x80)
            return true;
    return false;
}

void appendBase64(std::string& out, std::string_view v) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 3 <= v.size(); i += 3) {
        const std::uint32_t n = static_cast<unsigned char>(v[i]) << 16 |
                                static_cast<unsigned char>(v[i + 1]) << 8 |
                                static_cast<unsigned char>(v[i + 2]);
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += kAlphabet[n >> 6 & 63];
        out += kAlphabet[n & 63];
    }
    if (const std::size_t rest = v.size() - i; rest > 0) {
        std::uint32_t n = static_cast<unsigned char>(v[i]) << 16;
        if (rest == 2)
            n |= static_cast<unsigned char>(v[i + 1]) << 8;
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += rest == 2 ? kAlphabet[n >> 6 & 63] : '=';
        out += '=';
    }
}

// One "attr: value" line, base64 when needed. Lines are not folded: LDIF allows any length.
void line(std::string& out, std::string_view attr, std::string_view value) {
    out += attr;
    if (needsBase64(value)) {
        out += ":: ";
        appendBase64(out, value);
    } else {
        out += ": ";
        out += value;
    }
    out += '\n';
}

// An RDN value with the RFC 4514 special characters escaped.
std::string escapeRdnValue(std::string_view v) {
    std::string out;
    out.reserve(v.size() + 4);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
            c == '=' || (c == '#' && i == 0) || (c == ' ' && (i == 0 || i + 1 == v.size())))
            out += '\\';
        out += c;
    }
    return out;
}

// Seconds since 1970 (UTC) as Generalized Time "YYYYMMDDHHMMSSZ".
std::string generalizedTime(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    // Civil date from a day count (proleptic Gregorian calendar).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld%02lld%02lld%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buf;
}

struct Options {
    std::uint64_t users = 0;
    std::uint64_t seed = 1;
    std::uint64_t regions = 10;
    std::uint64_t departments = 10;
    std::uint64_t latePercent = 0; // users in the unit "Moved", written before it
    std::string out;
    std::string schema = KVX_SOURCE_DIR "/data/trees/ACME/acme.schema";
};

void usage(std::FILE* to) {
    std::fputs("usage: kvx-gentree --users N [--seed S] --out DIR [--schema PATH]\n"
               "                   [--regions R] [--departments D] [--late P]\n"
               "Writes DIR/acme.schema (a copy of the sample schema) and DIR/tree.ldif: N users\n"
               "below o=Gen, spread over R regions (default 10) of D departments (default 10),\n"
               "with department groups and a few tree-wide groups. The same seed gives the same\n"
               "tree. --late P: P % of the users (one in every 100/P) belong to the unit\n"
               "ou=Moved,o=Gen, which is written after all of them (followed by its group\n"
               "\"Moved Staff\"), as slapcat writes users moved into a unit made after them.\n",
               to);
}

bool parseNumber(const char* text, std::uint64_t max, std::uint64_t* out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// Returns 0 when the options read, 2 (after saying why) when they do not, 1 for --help.
int parseOptions(int argc, char** argv, Options& o) {
    bool haveUsers = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 1;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (arg == "--users") {
            ok = ok && parseNumber(value, kMaxUsers, &o.users);
            haveUsers = ok;
        } else if (arg == "--seed") {
            ok = ok && parseNumber(value, UINT64_MAX, &o.seed);
        } else if (arg == "--regions") {
            ok = ok && parseNumber(value, kMaxContainers, &o.regions) && o.regions > 0;
        } else if (arg == "--departments") {
            ok = ok && parseNumber(value, kMaxContainers, &o.departments) && o.departments > 0;
        } else if (arg == "--late") {
            ok = ok && parseNumber(value, 100, &o.latePercent);
        } else if (arg == "--out") {
            ok = ok && *value != '\0';
            if (ok)
                o.out = value;
        } else if (arg == "--schema") {
            ok = ok && *value != '\0';
            if (ok)
                o.schema = value;
        } else {
            std::fprintf(stderr, "kvx-gentree: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "kvx-gentree: %s needs a valid value\n", argv[i]);
            usage(stderr);
            return 2;
        }
        ++i;
    }
    if (!haveUsers || o.out.empty()) {
        std::fputs("kvx-gentree: --users and --out are required\n", stderr);
        usage(stderr);
        return 2;
    }
    if (o.regions * o.departments > kMaxContainers) {
        std::fprintf(stderr, "kvx-gentree: at most %llu departments in all\n",
                     static_cast<unsigned long long>(kMaxContainers));
        return 2;
    }
    return 0;
}

// Writes through a large buffer and remembers whether anything failed.
class Output {
public:
    explicit Output(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
        if (file_ != nullptr)
            std::setvbuf(file_, nullptr, _IOFBF, 1 << 22);
    }
    ~Output() {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool opened() const { return file_ != nullptr; }
    void write(const std::string& s) {
        if (file_ != nullptr && std::fwrite(s.data(), 1, s.size(), file_) != s.size())
            failed_ = true;
        bytes_ += s.size();
    }
    bool close() {
        if (file_ == nullptr)
            return false;
        const bool ok = std::fflush(file_) == 0 && !std::ferror(file_) && !failed_;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok && closed;
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::string path_;
    std::FILE* file_;
    bool failed_ = false;
    std::uint64_t bytes_ = 0;
};

struct Counts {
    std::uint64_t containers = 0;
    std::uint64_t users = 0;
    std::uint64_t groups = 0;
    std::uint64_t memberships = 0;
};

Counts writeTree(const Options& o, Output& out) {
    Counts counts;
    Rng rng(o.seed);
    const auto regions = static_cast<std::uint32_t>(o.regions);
    const auto departments = static_cast<std::uint32_t>(o.departments);
    const std::uint32_t units = regions * departments;
    const std::string base = "o=Gen";

    std::string e;
    e.reserve(1 << 16);
    e = "# Generated by kvx-gentree: " + std::to_string(o.users) + " users, seed " +
        std::to_string(o.seed) + "\n\n";
    e += "dn: o=Gen\nobjectClass: top\nobjectClass: organization\no: Gen\n"
         "description: Generated tree\n\n";
    out.write(e);
    ++counts.containers;

    std::vector<std::string> unitDns(units);
    for (std::uint32_t r = 0; r < regions; ++r) {
        const std::string region = regionName(r);
        const std::string regionDn = "ou=" + escapeRdnValue(region) + "," + base;
        e.clear();
        e += "dn: " + regionDn + "\nobjectClass: top\nobjectClass: organizationalUnit\n";
        line(e, "ou", region);
        e += '\n';
        out.write(e);
        ++counts.containers;
        for (std::uint32_t d = 0; d < departments; ++d) {
            const std::string department = departmentName(d);
            std::string& dn = unitDns[r * departments + d];
            dn = "ou=" + escapeRdnValue(department) + "," + regionDn;
            e.clear();
            e += "dn: " + dn + "\nobjectClass: top\nobjectClass: organizationalUnit\n";
            line(e, "ou", department);
            e += '\n';
            out.write(e);
            ++counts.containers;
        }
    }

    // Group names and DNs: one per department, then the tree-wide ones directly below o=Gen.
    const std::uint32_t globalGroups = count(kGlobalGroups);
    std::vector<std::string> groupDns(units + globalGroups);
    std::vector<std::string> groupNames(units + globalGroups);
    for (std::uint32_t u = 0; u < units; ++u) {
        groupNames[u] = departmentName(u % departments) + " Staff " + regionName(u / departments);
        groupDns[u] = "cn=" + escapeRdnValue(groupNames[u]) + "," + unitDns[u];
    }
    for (std::uint32_t g = 0; g < globalGroups; ++g) {
        groupNames[units + g] = std::string(kGlobalGroups[g]);
        groupDns[units + g] = "cn=" + escapeRdnValue(groupNames[units + g]) + "," + base;
    }
    // The moved unit's group, written after the unit: the unit has members written both before
    // and after it.
    const std::string lateUnit = "ou=Moved," + base;
    if (o.latePercent > 0) {
        groupNames.emplace_back("Moved Staff");
        groupDns.push_back("cn=Moved Staff," + lateUnit);
    }
    std::vector<std::vector<std::uint32_t>> members(groupDns.size());
    std::vector<std::string> userDns;
    userDns.reserve(static_cast<std::size_t>(o.users));

    // Login times fall in the two years before 2024-06-01.
    constexpr std::int64_t kLatestLogin = 1717200000;
    constexpr std::uint32_t kLoginSpan = 2 * 365 * 86400;

    for (std::uint64_t i = 0; i < o.users; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        const std::uint32_t unit = rng.below(units);
        const Person& given = kGivenNames[rng.below(count(kGivenNames))];
        const Person& surname = kSurnames[rng.below(count(kSurnames))];
        const std::string_view title = kTitles[rng.below(count(kTitles))];

        // The login name is unique: initial, surname and the user's number.
        std::string login;
        login += given.ascii[0];
        login += surname.ascii;
        login += std::to_string(i + 1);
        std::string fullName = std::string(given.display) + ' ' + std::string(surname.display);

        // The moved users are spread evenly: user i when (i * P) mod 100 wraps.
        const bool moved = (i * o.latePercent) % 100 + o.latePercent >= 100;
        std::string dn = "cn=" + login + "," + (moved ? lateUnit : unitDns[unit]);
        e.clear();
        e += "dn: " + dn + '\n';
        e += "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
             "objectClass: ndsUser\n";
        e += "cn: " + login + '\n';
        line(e, "sn", surname.display);
        line(e, "givenName", given.display);
        line(e, "ndsFullName", fullName);
        const std::uint32_t phones = 1 + rng.below(3);
        for (std::uint32_t p = 0; p < phones; ++p) {
            char phone[32];
            std::snprintf(phone, sizeof phone, "+44 %s %04u", p == 1 ? "7700 90" : "20 7946",
                          rng.below(10000));
            e += "telephoneNumber: ";
            e += phone;
            e += '\n';
        }
        e += "mail: " + login + "@gen.example\n";
        line(e, "title", title);
        e += "ndsLoginTime: " + generalizedTime(kLatestLogin - rng.below(kLoginSpan)) + '\n';

        // Group membership: the department's group, and each tree-wide group by chance.
        members[unit].push_back(index);
        if (moved)
            members.back().push_back(index);
        e += "ndsGroupMembership: " + groupDns[unit] + '\n';
        ++counts.memberships;
        for (std::uint32_t g = 0; g < globalGroups; ++g) {
            if (rng.below(100) < 15) {
                members[units + g].push_back(index);
                e += "ndsGroupMembership: " + groupDns[units + g] + '\n';
                ++counts.memberships;
            }
        }
        e += '\n';
        out.write(e);
        userDns.push_back(std::move(dn));
        ++counts.users;
    }

    if (o.latePercent > 0) {
        e = "dn: " + lateUnit +
            "\nobjectClass: top\nobjectClass: organizationalUnit\nou: Moved\n\n";
        out.write(e);
        ++counts.containers;
    }

    for (std::size_t g = 0; g < groupDns.size(); ++g) {
        e.clear();
        e += "dn: " + groupDns[g] + "\nobjectClass: top\nobjectClass: ndsGroup\n";
        line(e, "cn", groupNames[g]);
        for (const std::uint32_t m : members[g]) {
            e += "member: " + userDns[m] + '\n';
            if (e.size() > (1u << 20)) {
                out.write(e);
                e.clear();
            }
        }
        e += '\n';
        out.write(e);
        ++counts.groups;
    }
    return counts;
}

bool copyFile(const std::string& from, const std::string& to, std::string* why) {
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        *why = "cannot read " + from;
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *why = "cannot read " + from;
        return false;
    }
    Output out(to);
    if (!out.opened()) {
        *why = "cannot create " + to + ": " + std::strerror(errno);
        return false;
    }
    out.write(text);
    if (!out.close()) {
        *why = "cannot write " + to;
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int rc = parseOptions(argc, argv, o); rc != 0)
        return rc == 1 ? 0 : rc;

    const auto start = std::chrono::steady_clock::now();
    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (ec) {
        std::fprintf(stderr, "kvx-gentree: cannot create %s: %s\n", o.out.c_str(),
                     ec.message().c_str());
        return 1;
    }
    const std::string schemaPath = (std::filesystem::path(o.out) / "acme.schema").string();
    const std::string ldifPath = (std::filesystem::path(o.out) / "tree.ldif").string();

    std::string why;
    if (!copyFile(o.schema, schemaPath, &why)) {
        std::fprintf(stderr, "kvx-gentree: %s\n", why.c_str());
        return 1;
    }
    std::printf("Wrote %s (copy of %s)\n", schemaPath.c_str(), o.schema.c_str());

    Output out(ldifPath);
    if (!out.opened()) {
        std::fprintf(stderr, "kvx-gentree: cannot create %s: %s\n", ldifPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const Counts counts = writeTree(o, out);
    if (!out.close()) {
        std::fprintf(stderr, "kvx-gentree: cannot write %s; the file is incomplete\n",
                     ldifPath.c_str());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("Wrote %s: %llu users, %llu containers, %llu groups (%llu memberships), "
                "%llu bytes, seed %llu, in %.2f s\n",
                ldifPath.c_str(), static_cast<unsigned long long>(counts.users),
                static_cast<unsigned long long>(counts.containers),
                static_cast<unsigned long long>(counts.groups),
                static_cast<unsigned long long>(counts.memberships),
                static_cast<unsigned long long>(out.bytes()),
                static_cast<unsigned long long>(o.seed), seconds);
    return 0;
}
