#include "ui/report_document.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFileInfo>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTemporaryFile>
#include <QTextDocument>
#include <cerrno>
#include <cstdio>

#include "app/private_exception.h"
#include "ui/window_utils.h"

int WriteReportPdf(const std::string& html, const std::string& path) {
    int pages = 0;
    QTemporaryFile temp(ToQ(path) + ".XXXXXX");
    temp.setAutoRemove(true);
    if (!temp.open()) throw CPrivateException(FromQ(temp.errorString()));
    {
        QPdfWriter writer(&temp);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(14, 14, 14, 14), QPageLayout::Millimeter);
        writer.setResolution(300);
        writer.setCreator(ToQ(GetProductCaption()));
        QTextDocument document;
        // Laid out for the writer itself, so that the pages counted are the pages printed.
        document.documentLayout()->setPaintDevice(&writer);
        document.setHtml(ToQ(html));
        document.setPageSize(writer.pageLayout().paintRectPixels(writer.resolution()).size());
        pages = document.pageCount();
        writer.setTitle(document.metaInformation(QTextDocument::DocumentTitle));
        document.print(&writer);
    }
    temp.flush();
    if (temp.error() != QFileDevice::NoError || temp.size() == 0)
        throw CPrivateException(FromQ(temp.errorString()));
    // A document is ordinary data, not a private file.
    temp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::ReadOther);
    temp.close();
    if (std::rename(temp.fileName().toLocal8Bit().constData(), path.c_str()) != 0)
        throw CPrivateException(CMessageFormatter(errno));
    temp.setAutoRemove(false);
    return pages;
}
