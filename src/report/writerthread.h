// A table writer whose rows are written on a thread of their own, so that a form that is slow to
// write (a workbook) is written while the search goes on.
#pragma once

#include "report/reportfile.h"

#include <memory>

namespace kvx::report {

// `writer`, with its rows handed over in batches through a bounded queue: the caller waits only
// when the writer falls several batches behind, so memory stays a few batches whatever the size
// of the report. columns() and close() wait for the rows handed over before them; sheets() and
// shortenedCells() are read after close().
std::unique_ptr<TableWriter> WriteOnThread(std::unique_ptr<TableWriter> writer);

} // namespace kvx::report
