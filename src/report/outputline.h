// The report output file: its header line, its result lines and the file that receives them.
//
// Lines are bytes (UTF-8), fields are joined by the whole separator (which may be empty or several
// characters) and every line ends with a carriage return and a line feed. Fields follow RFC 4180,
// so any CSV reader gets one field per value and one record per line: a field holding the
// separator, a double quote, a carriage return or a line feed is enclosed in double quotes with
// its inner quotes doubled, quoting on or off; with quoting on every field is enclosed so. A field
// that needs none of this is written exactly as it is.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

enum class ReportMode { Tabular, TabularCross, NonTabular };

// Appends the header line of `mode`: "Object<sep>Attribute<sep>Value" for Non Tabular, else
// "Object" and "<sep><name>" for each selected attribute. Quoted only where a field needs it.
void AppendHeaderLine(std::string& out, ReportMode mode, std::string_view separator,
                      std::span<const std::string> attributeNames);
std::string HeaderLine(ReportMode mode, std::string_view separator,
                       std::span<const std::string> attributeNames);

// Appends one result line: each field between quotes when `quote` is set, fields joined by
// `separator`. An empty row gives nothing (not even a line end).
void AppendResultLine(std::string& out, std::span<const std::string> row,
                      std::string_view separator, bool quote);
std::string ResultLine(std::span<const std::string> row, std::string_view separator, bool quote);

// The output file of a report run. open() creates the file or empties it (never appends);
// writes are buffered so memory does not grow with what is written; a failed write is
// remembered, and close() reports it, so a report cut short is never taken for a whole one.
class OutputFile {
public:
    static constexpr std::size_t BufferSize = 1 << 20;

    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when the file cannot be created or emptied (an empty name included).
    bool open(const std::string& path);
    bool isOpen() const { return m_fd >= 0; }

    void write(std::string_view bytes);
    void writeHeader(ReportMode mode, std::string_view separator,
                     std::span<const std::string> attributeNames);
    void writeRow(std::span<const std::string> row, std::string_view separator, bool quote);

    // True once a write has failed; later writes are dropped.
    bool failed() const { return m_failed; }

    // Writes what is buffered and closes the file. False when any write or the close failed
    // (and when no file was open). The object can be opened again afterwards.
    bool close();

private:
    void flushBuffer();
    void writeAll(const char* data, std::size_t size);

    int m_fd = -1;
    bool m_failed = false;
    std::vector<char> m_buffer;
    std::size_t m_used = 0;
    std::string m_line;
};

} // namespace kvx
