// The workbook form of a report file (.xlsx): one row of the report a row of the sheet, the
// header as a bold, frozen first row with a filter, cells typed by their column's kind, column
// widths from the header and the first rows, and further sheets when one is full.
#pragma once

#include "report/reportfile.h"

#include <memory>
#include <string>

namespace kvx::report {

// A writer of a workbook at `path`, nullptr when it cannot be made. The rows wait in scratch
// files in `scratchFolder` until close() puts the workbook together.
std::unique_ptr<TableWriter> OpenWorkbookWriter(const std::string& path,
                                                const std::string& scratchFolder,
                                                const FileLayout& layout);

} // namespace kvx::report
