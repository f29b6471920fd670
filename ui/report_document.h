// A report page printed to PDF on A4 by Qt's own PDF writer, for the desktop's "Save report".
#pragma once

#include <string>

// Lays the HTML page out on A4 pages and writes them to path (beside it first, then renamed over
// it, so that a failure keeps an existing file). Returns the number of pages; throws
// CPrivateException when it cannot write.
int WriteReportPdf(const std::string& html, const std::string& path);
