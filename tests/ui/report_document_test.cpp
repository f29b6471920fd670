// The report printed to PDF: A4 pages from Qt's writer, one or two of them for the largest model.
#include "ui/report_document.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTextDocument>

#include "model/dev_types.h"
#include "session/report.h"
#include "test_support.h"

namespace {

// The largest settings model with everything a report can hold.
std::string LargestReport(const CDevInterface& model) {
    ReportData data;
    data.made = 1'800'000'000;
    data.program = "NORVELCO Version 1.0.0";
    data.port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0";
    data.source = "Configuration file /home/engineer/sites/plant-7/template.cfg";
    data.model = &model;
    data.device = DeviceInfo{"1.0.0", "UNIT-0042", "00:13:A2:00:41:42:43:44"};
    VerifyResult v;
    v.compared = 36;
    for (const char* key : {"sadrs", "nadrs", "netname"})
        v.differences.push_back({model.IndexOf(key), "0001", "0005"});
    data.verification = v;
    return ReportHtml(data);
}

}  // namespace

TEST(ReportDocument, LargestModelPrintsOnAtMostTwoA4Pages) {
    testing_support::TempDir dir;
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        SCOPED_TRACE(language);
        g_resources.Init();
        g_resources.LoadLanguage(language);
        auto model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
        const std::string html = LargestReport(*model);
        const std::string path = dir.File("report.pdf");
        const int pages = WriteReportPdf(html, path);
        EXPECT_GE(pages, 1);
        EXPECT_LE(pages, 2);
        EXPECT_EQ(testing_support::ReadFile(path).rfind("%PDF-", 0), 0u);

        // The first page as an image, for review.
        QTextDocument document;
        document.setHtml(QString::fromStdString(html));
        document.setPageSize(QSizeF(595, 842));  // A4 in points
        QImage page(595, 842, QImage::Format_RGB32);
        page.fill(Qt::white);
        QPainter painter(&page);
        document.drawContents(&painter, QRectF(0, 0, 595, 842));
        painter.end();
        QDir shots(QCoreApplication::applicationDirPath() + "/../screenshots");
        shots.mkpath(".");
        page.save(shots.filePath(QString("report-") + language + ".png"));
    }
    g_resources.LoadLanguage("English.lng");
    EXPECT_THROW(WriteReportPdf("<p>x</p>", dir.File("no/such/folder/r.pdf")), CPrivateException);
}
