#include "support.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace kvx::test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvx-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

HeadlessRun runHeadless(const std::string& exe, const std::filesystem::path& folder,
                        const std::filesystem::path& kvx, const std::filesystem::path& clientConf,
                        std::chrono::seconds limit,
                        const std::function<void(pid_t)>& whileRunning) {
    std::filesystem::create_directories(folder / "home");
    const std::string settings = "/settings=" + kvx.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            ::unsetenv(name);
        ::setenv("HOME", (folder / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (folder / "home" / ".config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (folder / "home" / ".local" / "state").c_str(), 1);
        ::setenv("KORVANEX_CLIENT_CONF", clientConf.c_str(), 1);
        if (!std::freopen((folder / "stderr.txt").c_str(), "w", stderr))
            ::_exit(126);
        ::execl(exe.c_str(), exe.c_str(), settings.c_str(), "/autorun", "/autoclose",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    HeadlessRun run;
    int status = 0;
    const auto started = std::chrono::steady_clock::now();
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (whileRunning)
            whileRunning(pid);
        if (std::chrono::steady_clock::now() - started > limit) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            run.err = slurp(folder / "stderr.txt");
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.finished = true;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = slurp(folder / "stderr.txt");
    return run;
}

namespace {

// What a command writes on standard output, and its exit status.
std::pair<std::string, int> capture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {out, -1};
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

std::vector<std::string> workbookSheetsAsCsv(const std::filesystem::path& xlsx) {
    namespace fs = std::filesystem;
    const TempFolder work;
    // A profile of its own, so that conversions running side by side do not meet; every sheet
    // (the last option, -1), UTF-8 (76), comma (44), double quote (34).
    const std::string command =
        "soffice -env:UserInstallation=file://" + (work / "profile").string() +
        " --headless --convert-to " +
        quoted("csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1") +
        " --outdir " + quoted(work.path().string()) + " " + quoted(xlsx.string()) + " 2>&1";
    const auto [log, status] = capture(command);
    std::vector<std::pair<int, std::string>> sheets;
    for (const auto& file : fs::directory_iterator(work.path())) {
        const std::string name = file.path().filename().string();
        if (file.path().extension() != ".csv")
            continue;
        // <name>-Sheet<N>.csv
        const std::size_t at = name.rfind("-Sheet");
        const int number = at == std::string::npos ? 0 : std::atoi(name.c_str() + at + 6);
        std::string text = slurp(file.path());
        std::string clean;
        for (char c : text)
            if (c != '\r')
                clean += c;
        sheets.emplace_back(number, clean);
    }
    if (status != 0 || sheets.empty())
        return {"<cannot read " + xlsx.string() + " with soffice (status " +
                std::to_string(status) + "): " + log};
    std::sort(sheets.begin(), sheets.end());
    std::vector<std::string> out;
    for (auto& sheet : sheets)
        out.push_back(std::move(sheet.second));
    return out;
}

std::string workbookCells(const std::filesystem::path& xlsx) {
    const auto [out, status] = capture("/usr/bin/python3 " KVX_TEST_COMMON_DIR "/workbook_cells.py " +
                                       quoted(xlsx.string()) + " 2>&1");
    if (status != 0)
        return "<cannot read " + xlsx.string() + " with openpyxl: " + out;
    return out;
}

} // namespace kvx::test
