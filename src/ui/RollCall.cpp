#include "RollCall.h"

#include "TimeText.h"
#include "badge/PageText.h"
#include "model/AppModel.h"
#include "model/Export.h"

#include <QBuffer>
#include <QDir>
#include <QFontMetricsF>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSaveFile>

namespace {
// Everything is laid out in points on the page.
constexpr qreal margin = 48;
constexpr qreal rowHeight = 24;
constexpr qreal headerHeight = 118;
constexpr qreal footerHeight = 30;
constexpr qreal box = 11;

// Sizes in points: the painter is scaled to points on every device.
QFont rollCallFont(int points, bool bold) {
    return pageFont(points, bold, Shaping::latinUnshaped);
}

class RollCallPainter {
public:
    RollCallPainter(QPainter &painter, const RollCall &rollCall, QSizeF page)
        : m_painter(painter), m_rollCall(rollCall), m_page(page) {
        const qreal usable = page.height() - 2 * margin - headerHeight - footerHeight;
        m_rowsPerPage = std::max(1, int(usable / rowHeight));
        const qsizetype count = rollCall.onSite.size();
        m_pages = std::max<qsizetype>(1, (count + m_rowsPerPage - 1) / m_rowsPerPage);
        // Name, host, signed in, device: the name gets the most room.
        const qreal width = page.width() - 2 * margin - box - 10;
        m_columns = {margin + box + 10, 0, 0, 0};
        m_widths = {width * 0.36, width * 0.26, width * 0.16, width * 0.22};
        for (int i = 1; i < 4; ++i)
            m_columns[i] = m_columns[i - 1] + m_widths[i - 1];
    }

    int pages() const { return int(m_pages); }

    void drawPage(int page) {
        drawHeader();
        const qsizetype first = qsizetype(page) * m_rowsPerPage;
        const qsizetype end = std::min(first + m_rowsPerPage, m_rollCall.onSite.size());
        qreal y = margin + headerHeight;
        if (m_rollCall.onSite.isEmpty())
            text(rollCallFont(11, false), QRectF(margin, y, m_page.width() - 2 * margin, rowHeight),
                 m_rollCall.asOf ? QStringLiteral("No one is on site.")
                                 : QStringLiteral("The desk has not loaded the on-site list yet."));
        for (qsizetype i = first; i < end; ++i, y += rowHeight)
            drawRow(m_rollCall.onSite[i], y);
        const QString footer = QStringLiteral("Page %1 of %2").arg(page + 1).arg(m_pages);
        text(rollCallFont(9, false),
             QRectF(margin, m_page.height() - margin - 14, m_page.width() - 2 * margin, 14), footer,
             Qt::AlignHCenter);
    }

private:
    void drawHeader() {
        const qreal width = m_page.width() - 2 * margin;
        text(rollCallFont(20, true), QRectF(margin, margin, width, 28),
             QStringLiteral("Roll call"));
        const QString count = QStringLiteral("%1 on site").arg(m_rollCall.onSite.size());
        text(rollCallFont(16, true), QRectF(margin, margin + 4, width, 24), count, Qt::AlignRight);
        text(rollCallFont(12, false), QRectF(margin, margin + 32, width, 18),
             m_rollCall.placeName.isEmpty() ? QString() : oneLine(m_rollCall.placeName));
        text(rollCallFont(10, m_rollCall.offline), QRectF(margin, margin + 52, width, 16),
             m_rollCall.asOfText());
        const qreal headings = margin + 84;
        const QFont heading = rollCallFont(8, true);
        const QStringList titles{QStringLiteral("NAME"), QStringLiteral("HOST"),
                                 QStringLiteral("SIGNED IN"), QStringLiteral("DEVICE")};
        for (int i = 0; i < 4; ++i)
            text(heading, QRectF(m_columns[i], headings, m_widths[i] - 8, 14), titles[i]);
        m_painter.fillRect(QRectF(margin, headings + 18, width, 0.8), Qt::black);
    }

    void drawRow(const VisitorRow &row, qreal y) {
        m_painter.setPen(QPen(Qt::black, 0.8));
        m_painter.setBrush(Qt::NoBrush);
        m_painter.drawRect(QRectF(margin, y + (rowHeight - box) / 2 - 2, box, box));
        const QFont body = rollCallFont(10, false);
        const qreal textTop = y + 2;
        text(rollCallFont(10, true), QRectF(m_columns[0], textTop, m_widths[0] - 8, 16),
             oneLine(row.visitorName));
        text(body, QRectF(m_columns[1], textTop, m_widths[1] - 8, 16),
             oneLine(row.hostName.value_or(QString())));
        text(body, QRectF(m_columns[2], textTop, m_widths[2] - 8, 16),
             shortTimeText(row.signedInAt, m_rollCall.clock));
        text(body, QRectF(m_columns[3], textTop, m_widths[3] - 8, 16),
             oneLine(row.deviceName.value_or(QString())));
        m_painter.fillRect(QRectF(margin, y + rowHeight - 3, m_page.width() - 2 * margin, 0.4),
                           QColor(160, 160, 160));
    }

    // One line in `rect`, cut short with "…" when it does not fit.
    void text(const QFont &font, const QRectF &rect, const QString &value,
              Qt::Alignment align = Qt::AlignLeft) {
        if (value.isEmpty())
            return;
        m_painter.setFont(font);
        m_painter.setPen(Qt::black);
        const QString shown = QFontMetricsF(font).elidedText(value, Qt::ElideRight, rect.width());
        m_painter.drawText(rect, int(align | Qt::AlignTop) | Qt::TextSingleLine, shown);
    }

    QPainter &m_painter;
    const RollCall &m_rollCall;
    QSizeF m_page;
    int m_rowsPerPage = 1;
    qsizetype m_pages = 1;
    std::array<qreal, 4> m_columns{};
    std::array<qreal, 4> m_widths{};
};
} // namespace

RollCall RollCall::fromModel(const AppModel &model) {
    RollCall rollCall;
    rollCall.placeName = model.settings().placeName.value_or(QString()).trimmed();
    // With the visitors signed in here that the backend has not had yet: they are in the
    // building too.
    rollCall.onSite = model.everyoneOnSite();
    rollCall.asOf = model.lastRefresh();
    // The model keeps the last list when a refresh fails and says so in its error; sign-ins
    // waiting on this desk mean the same.
    rollCall.offline = model.error().has_value() || !model.offlineText().isEmpty();
    rollCall.clock = model.clock();
    return rollCall;
}

QString RollCall::asOfText() const {
    if (!asOf)
        return offline ? QStringLiteral("Offline — no list loaded") : QString();
    if (offline)
        return QStringLiteral("Offline — list as of ") + shortTimeText(*asOf, clock);
    return QStringLiteral("as of ") + reportDateText(*asOf, clock);
}

QPageSize rollCallPageSize(const QLocale &locale) {
    switch (locale.territory()) {
    case QLocale::UnitedStates:
    case QLocale::Canada:
    case QLocale::Mexico:
    case QLocale::Chile:
    case QLocale::Colombia:
    case QLocale::Venezuela:
    case QLocale::Philippines:
    case QLocale::PuertoRico:
        return QPageSize(QPageSize::Letter);
    default:
        return QPageSize(QPageSize::A4);
    }
}

bool paintRollCall(QPagedPaintDevice &device, const RollCall &rollCall) {
    QPainter painter;
    if (!painter.begin(&device))
        return false;
    // Lay out in points whatever the device's resolution.
    const QRectF pageRect = device.pageLayout().fullRectPoints();
    const qreal scale = device.logicalDpiX() / 72.0;
    painter.scale(scale, device.logicalDpiY() / 72.0);
    RollCallPainter pages(painter, rollCall, pageRect.size());
    Q_UNUSED(scale);
    for (int page = 0; page < pages.pages(); ++page) {
        if (page > 0 && !device.newPage()) {
            painter.end();
            return false;
        }
        pages.drawPage(page);
    }
    return painter.end();
}

QByteArray rollCallPDF(const RollCall &rollCall) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return {};
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(72);
        writer.setPageLayout(QPageLayout(rollCallPageSize(rollCall.clock.locale),
                                         QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
        writer.setTitle(QStringLiteral("Roll call"));
        writer.setCreator(QStringLiteral("Greetwell"));
        if (!paintRollCall(writer, rollCall))
            return {};
    }
    return bytes;
}

QString writeRollCallPDF(const RollCall &rollCall, const QString &path) {
    const QByteArray pdf = rollCallPDF(rollCall);
    QSaveFile file(path);
    if (pdf.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size() ||
        !file.commit())
        return QStringLiteral("The roll call could not be saved to %1. %2")
            .arg(QDir::toNativeSeparators(path), file.errorString().isEmpty()
                                                     ? QStringLiteral("Try another folder.")
                                                     : file.errorString() + QLatin1Char('.'));
    return {};
}

QString chooseRollCallPrinter(const QString &defaultPrinter, const QStringList &installed,
                              const QString &labelPrinter) {
    // The label printer would put each page on a label.
    if (!defaultPrinter.isEmpty() && defaultPrinter != labelPrinter)
        return defaultPrinter;
    for (const QString &name : installed)
        if (name != labelPrinter && name != defaultPrinter)
            return name;
    return {};
}

QString printRollCall(const RollCall &rollCall, const QString &labelPrinter,
                      const QString &printerName) {
    const QString target =
        printerName.isEmpty()
            ? chooseRollCallPrinter(QPrinterInfo::defaultPrinterName(),
                                    QPrinterInfo::availablePrinterNames(), labelPrinter)
            : printerName;
    if (target.isEmpty() || QPrinterInfo::printerInfo(target).isNull())
        return QStringLiteral("No full-page printer is available. Add one in your system's "
                              "printer settings.");
    QPrinter printer(QPrinterInfo::printerInfo(target), QPrinter::HighResolution);
    printer.setDocName(QStringLiteral("Roll call"));
    printer.setFullPage(true);
    printer.setPageLayout(QPageLayout(rollCallPageSize(rollCall.clock.locale),
                                      QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
    if (!paintRollCall(printer, rollCall) || printer.printerState() == QPrinter::Error)
        return QStringLiteral("The roll call didn't print. Check the printer and try again.");
    return {};
}
