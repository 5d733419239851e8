#include "badge/BadgePrinter.h"

#include "badge/BadgeDrawing.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>
#include <cmath>
#include <cups/cups.h>

namespace {
const QString kPrintLabel = QStringLiteral("PrintLabel");
const QString kLabelType = QStringLiteral("LabelType");
const QString kPrinterName = QStringLiteral("BadgePrinterName");
const QString kShowDialog = QStringLiteral("BadgeShowPrintDialog");

// The printer a badge goes to, or a null QPrinterInfo when there is no usable one.
QPrinterInfo choosePrinter(const QString &name) {
    if (!name.isEmpty())
        return QPrinterInfo::printerInfo(name); // null when it is no longer installed
    const QStringList installed = QPrinterInfo::availablePrinterNames();
    if (installed.isEmpty())
        return {};
    // CUPS queues are often added without being made the default: then the first one.
    const QPrinterInfo fallback = QPrinterInfo::defaultPrinter();
    return fallback.isNull() ? QPrinterInfo::printerInfo(installed.first()) : fallback;
}

// A PDF number with at most four decimals and no trailing zeros.
QByteArray pdfNumber(qreal value) {
    QByteArray text = QByteArray::number(value, 'f', 4);
    while (text.endsWith('0'))
        text.chop(1);
    if (text.endsWith('.'))
        text.chop(1);
    return text;
}

// Qt writes pages in whole points. The badge is drawn from the top-left corner of a page
// rounded up; narrowing the page's MediaBox to the badge gives the exact size. The new
// box is padded to the old one's length so every cross-reference offset stays right.
void narrowToExactPage(QByteArray &pdf, const QSizeF &exact, const QSizeF &drawn) {
    static const QByteArray key = "/MediaBox [";
    const qsizetype at = pdf.indexOf(key);
    if (at < 0 || pdf.indexOf(key, at + 1) >= 0)
        return;
    const qsizetype begin = at + key.size();
    const qsizetype end = pdf.indexOf(']', begin);
    QByteArray box = "0 " + pdfNumber(drawn.height() - exact.height()) + ' ' +
                     pdfNumber(exact.width()) + ' ' + pdfNumber(drawn.height());
    if (end < 0 || box.size() > end - begin)
        return;
    box.append(QByteArray(end - begin - box.size(), ' '));
    pdf.replace(begin, end - begin, box);
}

QString cupsMessage() {
    const QString message = QString::fromUtf8(cupsLastErrorString());
    return message.isEmpty() ? QString::fromUtf8(ippErrorString(cupsLastError())) : message;
}

// Hands a PDF to CUPS and reads back whether the queue accepted the job.
bool submitToCups(const QString &printer, const QString &file, const QString &title, int copies,
                  const QSizeF &page, QString &failure) {
    cups_option_t *options = nullptr;
    int count = 0;
    const QByteArray media = "Custom." + pdfNumber(page.width()) + 'x' + pdfNumber(page.height());
    count = cupsAddOption("media", media.constData(), count, &options);
    if (copies > 1)
        count = cupsAddOption("copies", QByteArray::number(copies).constData(), count, &options);
    const int job = cupsPrintFile2(CUPS_HTTP_DEFAULT, printer.toUtf8().constData(),
                                   QFile::encodeName(file).constData(), title.toUtf8().constData(),
                                   count, options);
    cupsFreeOptions(count, options);
    if (job > 0 && cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE)
        return true;
    failure = cupsMessage();
    return false;
}
} // namespace

BadgePrinter::BadgePrinter(QSettings *settings, QObject *parent)
    : QObject(parent), m_settings(settings) {
    if (!m_settings)
        return;
    m_autoPrint = m_settings->value(kPrintLabel, false).toBool();
    m_stock = labelStockFromRaw(m_settings->value(kLabelType).toString());
    m_printerName = m_settings->value(kPrinterName).toString();
    m_showDialog = m_settings->value(kShowDialog, false).toBool();
}

void BadgePrinter::store(const QString &key, const QVariant &value) {
    if (!m_settings)
        return;
    m_settings->setValue(key, value);
    m_settings->sync();
}

void BadgePrinter::setAutoPrint(bool on) {
    if (on == m_autoPrint)
        return;
    m_autoPrint = on;
    store(kPrintLabel, on);
    emit autoPrintChanged(on);
}

void BadgePrinter::setStock(LabelStock stock) {
    if (stock == m_stock)
        return;
    m_stock = stock;
    store(kLabelType, labelStockRawValue(stock));
    emit stockChanged(stock);
}

void BadgePrinter::setPrinterName(const QString &name) {
    if (name == m_printerName)
        return;
    m_printerName = name;
    store(kPrinterName, name);
    emit printerNameChanged(name);
}

void BadgePrinter::setShowDialog(bool on) {
    if (on == m_showDialog)
        return;
    m_showDialog = on;
    store(kShowDialog, on);
    emit showDialogChanged(on);
}

QStringList BadgePrinter::installedPrinterNames() {
    return QPrinterInfo::availablePrinterNames();
}

QString BadgePrinter::jobTitle(const QString &name) {
    return QStringLiteral("Visitor badge - ") + name;
}

QPageLayout BadgePrinter::pageLayout(LabelStock stock) {
    // QPageSize holds sizes upright; the landscape orientation turns the page back.
    const QSizeF page = labelStockPageSize(stock);
    const QPageSize size(QSizeF(page.height(), page.width()), QPageSize::Point,
                         labelStockCode(stock), QPageSize::ExactMatch);
    QPageLayout layout(size, QPageLayout::Landscape, QMarginsF(0, 0, 0, 0), QPageLayout::Point,
                       QMarginsF(0, 0, 0, 0));
    // Full-page mode: a label has no unprintable border to keep clear of, whatever
    // minimum margins the driver reports.
    layout.setMode(QPageLayout::FullPageMode);
    return layout;
}

QByteArray BadgePrinter::badgePdf(const QString &name, LabelStock stock,
                                  const QDateTime &timestamp) {
    const BadgeView view(name, stock, timestamp);
    const QSizeF exact = labelStockPageSize(stock);
    const QSizeF drawn(std::ceil(exact.width()), std::ceil(exact.height()));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setTitle(jobTitle(name));
        writer.setCreator(QStringLiteral("Greetwell"));
        writer.setPageLayout(QPageLayout(QPageSize(QSizeF(drawn.height(), drawn.width()),
                                                   QPageSize::Point, {}, QPageSize::ExactMatch),
                                         QPageLayout::Landscape, QMarginsF(0, 0, 0, 0)));
        QPainter painter;
        if (!painter.begin(&writer))
            return {};
        const qreal pixelsPerPoint = writer.resolution() / 72.0;
        view.render(painter, QRectF(QPointF(0, 0), exact * pixelsPerPoint));
        if (!painter.end())
            return {};
    }
    QByteArray pdf = buffer.data();
    // Should Qt ever lay the page out otherwise, the badge still prints, on the page
    // rounded up.
    narrowToExactPage(pdf, exact, drawn);
    return pdf;
}

BadgePrintResult BadgePrinter::printBadge(const QString &name, const QDateTime &timestamp) {
    m_failureDetail.clear();
    try {
        const QPrinterInfo info = choosePrinter(m_printerName);
        if (info.isNull())
            return BadgePrintResult::noPrinter;
        QString destination = info.printerName();
        int copies = 1;

        if (m_showDialog) {
            // The dialog is a widget; without a widget application there is none to show.
            if (!QCoreApplication::instance() ||
                !QCoreApplication::instance()->inherits("QApplication"))
                return BadgePrintResult::failed;
            QPrinter printer(info, QPrinter::HighResolution);
            printer.setDocName(jobTitle(name));
            printer.setCreator(QStringLiteral("Greetwell"));
            printer.setFullPage(true);
            printer.setPageLayout(pageLayout(m_stock));
            QPrintDialog dialog(&printer);
            dialog.setWindowTitle(tr("Print Badge"));
            if (dialog.exec() != QDialog::Accepted)
                return BadgePrintResult::failed;
            if (printer.outputFormat() == QPrinter::PdfFormat) {
                // Printing to a file: the badge is written there and nothing is queued.
                const QByteArray pdf = badgePdf(name, m_stock, timestamp);
                QSaveFile file(printer.outputFileName());
                if (pdf.isEmpty() || !file.open(QIODevice::WriteOnly) ||
                    file.write(pdf) != pdf.size() || !file.commit())
                    return BadgePrintResult::failed;
                return BadgePrintResult::printed;
            }
            destination = printer.printerName();
            copies = printer.copyCount();
        }

        const QByteArray pdf = badgePdf(name, m_stock, timestamp);
        QTemporaryFile file(QDir::tempPath() + QStringLiteral("/greetwell-badge-XXXXXX.pdf"));
        if (pdf.isEmpty() || !file.open() || file.write(pdf) != pdf.size() || !file.flush())
            return BadgePrintResult::failed;
        if (!submitToCups(destination, file.fileName(), jobTitle(name), copies,
                          labelStockPageSize(m_stock), m_failureDetail))
            return BadgePrintResult::failed;
        return BadgePrintResult::printed;
    } catch (...) {
        return BadgePrintResult::failed;
    }
}
