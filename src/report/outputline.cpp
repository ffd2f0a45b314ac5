#include "report/outputline.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kvx {

namespace {

// One field as RFC 4180 wants it: enclosed in quotes, inner quotes doubled, when quoting is on or
// when the text holds the separator, a quote or a line break (a reader would split it otherwise);
// else exactly as it is.
void appendField(std::string& out, std::string_view text, std::string_view separator, bool quote) {
    const bool needs = text.find_first_of("\"\r\n") != std::string_view::npos ||
                       (!separator.empty() && text.find(separator) != std::string_view::npos);
    if (!quote && !needs) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

} // namespace

void AppendHeaderLine(std::string& out, ReportMode mode, std::string_view separator,
                      std::span<const std::string> attributeNames) {
    appendField(out, "Object", separator, false);
    if (mode == ReportMode::NonTabular) {
        out += separator;
        appendField(out, "Attribute", separator, false);
        out += separator;
        appendField(out, "Value", separator, false);
    } else {
        for (const std::string& name : attributeNames) {
            out += separator;
            appendField(out, name, separator, false);
        }
    }
    out += "\r\n";
}

std::string HeaderLine(ReportMode mode, std::string_view separator,
                       std::span<const std::string> attributeNames) {
    std::string out;
    AppendHeaderLine(out, mode, separator, attributeNames);
    return out;
}

void AppendResultLine(std::string& out, std::span<const std::string> row,
                      std::string_view separator, bool quote) {
    if (row.empty())
        return;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0)
            out += separator;
        appendField(out, row[i], separator, quote);
    }
    out += "\r\n";
}

std::string ResultLine(std::span<const std::string> row, std::string_view separator, bool quote) {
    std::string out;
    AppendResultLine(out, row, separator, quote);
    return out;
}

OutputFile::~OutputFile() {
    if (isOpen())
        close();
}

bool OutputFile::open(const std::string& path) {
    if (isOpen())
        close();
    m_failed = false;
    m_used = 0;
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    // Created, or emptied if it exists: each run replaces the whole report.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    m_fd = fd;
    if (m_buffer.size() != BufferSize)
        m_buffer.assign(BufferSize, '\0');
    return true;
}

void OutputFile::writeAll(const char* data, std::size_t size) {
    while (size > 0 && !m_failed) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_failed = true;
            return;
        }
        if (n == 0) { // no progress: treat as a failure rather than spin
            m_failed = true;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void OutputFile::flushBuffer() {
    if (m_used > 0)
        writeAll(m_buffer.data(), m_used);
    m_used = 0;
}

void OutputFile::write(std::string_view bytes) {
    if (!isOpen()) {
        m_failed = true;
        return;
    }
    if (m_failed)
        return;
    if (bytes.size() > m_buffer.size() - m_used) {
        flushBuffer();
        if (bytes.size() >= m_buffer.size()) { // larger than the whole buffer: straight out
            writeAll(bytes.data(), bytes.size());
            return;
        }
    }
    std::memcpy(m_buffer.data() + m_used, bytes.data(), bytes.size());
    m_used += bytes.size();
}

void OutputFile::writeHeader(ReportMode mode, std::string_view separator,
                             std::span<const std::string> attributeNames) {
    m_line.clear();
    AppendHeaderLine(m_line, mode, separator, attributeNames);
    write(m_line);
}

void OutputFile::writeRow(std::span<const std::string> row, std::string_view separator,
                          bool quote) {
    m_line.clear();
    AppendResultLine(m_line, row, separator, quote);
    write(m_line);
}

bool OutputFile::close() {
    if (!isOpen())
        return false;
    if (!m_failed)
        flushBuffer();
    m_used = 0;
    if (::close(m_fd) != 0 && errno != EINTR)
        m_failed = true;
    m_fd = -1;
    return !m_failed;
}

} // namespace kvx
