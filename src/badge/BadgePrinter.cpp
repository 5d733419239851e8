#include "badge/BadgePrinter.h"

#include "badge/BadgeDrawing.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSettings>

namespace {
const QString kPrintLabel = QStringLiteral("PrintLabel");
const QString kLabelType = QStringLiteral("LabelType");
const QString kPrinterName = QStringLiteral("BadgePrinterName");
const QString kShowDialog = QStringLiteral("BadgeShowPrintDialog");

// The printer a badge goes to, or a null QPrinterInfo when there is no usable one.
QPrinterInfo choosePrinter(const QString &name) {
    if (!name.isEmpty())
        return QPrinterInfo::printerInfo(name); // null when it is no longer installed
    if (QPrinterInfo::availablePrinterNames().isEmpty())
        return {};
    // CUPS can have printers but no default; then there is nothing to fall back on
    // without guessing, and the user is asked to choose one.
    return QPrinterInfo::defaultPrinter();
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

BadgePrintResult BadgePrinter::printBadge(const QString &name, const QDateTime &timestamp) {
    try {
        const QPrinterInfo info = choosePrinter(m_printerName);
        if (info.isNull())
            return BadgePrintResult::noPrinter;

        const BadgeView view(name, m_stock, timestamp);
        QPrinter printer(info, QPrinter::HighResolution);
        printer.setDocName(jobTitle(name));
        printer.setCreator(QStringLiteral("Greetwell"));
        printer.setFullPage(true);
        const QPageLayout layout = pageLayout(m_stock);
        if (!printer.setPageLayout(layout))
            return BadgePrintResult::failed;

        if (m_showDialog) {
            // The dialog is a widget; without a widget application there is none to show.
            if (!QCoreApplication::instance() ||
                !QCoreApplication::instance()->inherits("QApplication"))
                return BadgePrintResult::failed;
            QPrintDialog dialog(&printer);
            dialog.setWindowTitle(tr("Print Badge"));
            if (dialog.exec() != QDialog::Accepted)
                return BadgePrintResult::failed;
            // The dialog puts the chosen printer's default paper (often A4) back; the
            // label's page is fixed by the stock, so set it again.
            if (!printer.setPageLayout(layout))
                return BadgePrintResult::failed;
        }

        QPainter painter;
        if (!painter.begin(&printer))
            return BadgePrintResult::failed;
        // The page is the badge's size, so this fits it exactly; should a driver impose
        // another page, the badge keeps its proportions and is centred on it.
        const QRectF area = printer.pageLayout().paintRectPixels(printer.resolution());
        view.render(painter, fitAndCentre(view.frame().size(), area));
        if (!painter.end())
            return BadgePrintResult::failed;
        const QPrinter::PrinterState state = printer.printerState();
        if (state == QPrinter::Error || state == QPrinter::Aborted)
            return BadgePrintResult::failed;
        return BadgePrintResult::printed;
    } catch (...) {
        return BadgePrintResult::failed;
    }
}
