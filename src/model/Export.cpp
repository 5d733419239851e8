#include "model/Export.h"

#include "badge/PageText.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextLayout>
#include <vector>

// ---------------------------------------------------------------------------
// CSV

namespace {

bool needsApostrophe(QChar first) {
    return first == u'=' || first == u'+' || first == u'-' || first == u'@' || first == u'\t' ||
           first == u'\r';
}

// Appends bytes of UTF-8 text, doubling every double quote.
void appendEscaped(QByteArray &out, QByteArrayView utf8) {
    qsizetype start = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i)
        if (utf8[i] == '"') {
            out.append(utf8.sliced(start, i + 1 - start));
            out.append('"');
            start = i + 1;
        }
    out.append(utf8.sliced(start));
}

// Appends one cell as UTF-8: always quoted, quotes doubled, and an apostrophe in front of
// text a spreadsheet would otherwise run as a formula. ASCII, the common case, is copied
// without building a temporary.
void appendCell(QByteArray &out, QStringView text) {
    out.append('"');
    if (!text.isEmpty() && needsApostrophe(text.front()))
        out.append('\'');
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x80) {
            appendEscaped(out, text.sliced(i).toUtf8());
            break;
        }
        if (c == u'"')
            out.append('"');
        out.append(char(c));
    }
    out.append('"');
}

// The cell of a timestamp: the same text as formatTimestamp, written straight into the
// output for the years 1 to 9999 (a hundred thousand rows hold two each).
void appendTimestampCell(QByteArray &out, const QDateTime &moment) {
    if (!moment.isValid())
        return appendCell(out, QString());
    const qint64 msecs = moment.toMSecsSinceEpoch();
    const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    const qint64 days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const qint64 inDay = seconds - days * 86400;
    const QDate date = QDate(1970, 1, 1).addDays(days);
    if (date.year() < 1 || date.year() > 9999)
        return appendCell(out, formatTimestamp(moment));
    char text[23];
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    text[0] = '"';
    put(1, date.year(), 4);
    text[5] = '-';
    put(6, date.month(), 2);
    text[8] = '-';
    put(9, date.day(), 2);
    text[11] = 'T';
    put(12, int(inDay / 3600), 2);
    text[14] = ':';
    put(15, int(inDay / 60 % 60), 2);
    text[17] = ':';
    put(18, int(inDay % 60), 2);
    text[20] = 'Z';
    text[21] = '"';
    out.append(text, 22);
}

QString answerColumn(const VisitorAnswer &answer) {
    return answer.label.isEmpty() ? QStringLiteral("Answer") : answer.label;
}

} // namespace

QByteArray exportCSV(const QList<VisitorRow> &rows) {
    // Answer columns in order of first appearance; names compare exactly.
    QStringList columns;
    QHash<QString, qsizetype> columnIndex;
    for (const VisitorRow &row : rows)
        for (const VisitorAnswer &answer : row.answers) {
            const QString name = answerColumn(answer);
            if (!columnIndex.contains(name)) {
                columnIndex.insert(name, columns.size());
                columns.append(name);
            }
        }

    QStringList header{QStringLiteral("Name"), QStringLiteral("Visiting")};
    header += columns;
    header += QStringList{QStringLiteral("Signed in"), QStringLiteral("Signed out"),
                          QStringLiteral("List"), QStringLiteral("Device")};

    QByteArray out;
    out.reserve(qsizetype(rows.size()) * (160 + 24 * columns.size()) + 256);
    for (qsizetype i = 0; i < header.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendCell(out, header[i]);
    }

    std::vector<const QString *> values(size_t(columns.size()), nullptr);
    const QString empty;
    for (const VisitorRow &row : rows) {
        out.append("\r\n");
        std::fill(values.begin(), values.end(), nullptr);
        for (const VisitorAnswer &answer : row.answers) {
            const qsizetype index = columnIndex.value(answerColumn(answer));
            if (!values[size_t(index)]) // the first answer with this label wins
                values[size_t(index)] = &answer.value;
        }
        appendCell(out, row.visitorName);
        out.append(',');
        appendCell(out, row.hostName ? *row.hostName : empty);
        for (const QString *value : values) {
            out.append(',');
            appendCell(out, value ? *value : empty);
        }
        out.append(',');
        appendTimestampCell(out, row.signedInAt);
        out.append(',');
        if (row.signedOutAt)
            appendTimestampCell(out, *row.signedOutAt);
        else
            appendCell(out, empty);
        out.append(',');
        appendCell(out, row.listName ? *row.listName : empty);
        out.append(',');
        appendCell(out, row.deviceName ? *row.deviceName : empty);
    }
    out.squeeze();
    return out;
}

// ---------------------------------------------------------------------------
// Report dates

namespace {

// The locale's abbreviated date and short time, built once per report.
class ReportDateFormat {
public:
    explicit ReportDateFormat(const Clock &clock) : m_locale(clock.locale), m_zone(clock.zone) {
        // Without a locale (LANG=C) Qt formats times with seconds and ISO-like dates;
        // fall back to American English as the rest of the desk reads.
        if (m_locale.language() == QLocale::C)
            m_locale = QLocale(QLocale::English, QLocale::UnitedStates);
        // The long date without its weekday and with the month abbreviated:
        // "dddd, MMMM d, yyyy" becomes "MMM d, yyyy", "dddd, d. MMMM yyyy" "d. MMM yyyy".
        QString date = m_locale.dateFormat(QLocale::LongFormat);
        static const QRegularExpression leading(QStringLiteral("^dddd[\\s,\u060C]*"));
        static const QRegularExpression trailing(QStringLiteral("[\\s,\u060C]*dddd$"));
        static const QRegularExpression inner(QStringLiteral("\\s*dddd\\s*"));
        date.remove(leading);
        date.remove(trailing);
        date.replace(inner, QStringLiteral(" "));
        date.replace(QLatin1String("MMMM"), QLatin1String("MMM"));
        date = date.trimmed();
        if (!date.contains(QLatin1Char('M')) || !date.contains(QLatin1Char('d')) ||
            !date.contains(QLatin1Char('y')))
            date = QStringLiteral("MMM d, yyyy");
        m_date = date;
        m_time = m_locale.timeFormat(QLocale::ShortFormat);
        // Qt knows no locale's word for "at"; other languages join with a comma.
        m_joiner =
            m_locale.language() == QLocale::English ? QStringLiteral(" at ") : QStringLiteral(", ");
    }

    QString text(const QDateTime &moment) const {
        const QDateTime local = moment.toTimeZone(m_zone);
        return m_locale.toString(local.date(), m_date) + m_joiner +
               m_locale.toString(local.time(), m_time);
    }

private:
    QLocale m_locale;
    QTimeZone m_zone;
    QString m_date;
    QString m_time;
    QString m_joiner;
};

} // namespace

QString reportDateText(const QDateTime &moment, const Clock &clock) {
    return ReportDateFormat(clock).text(moment);
}

// ---------------------------------------------------------------------------
// PDF report

namespace {

constexpr qreal kLeft = 36;
constexpr qreal kSignedInX = 336;
constexpr qreal kSignedOutX = 456;
constexpr qreal kRuleWidth = 540;
constexpr qreal kFirstRowTop = 102;
constexpr qreal kRowHeight = 44;
constexpr qreal kPageBottom = 756;
constexpr qreal kDetailWidth = 290;
constexpr qreal kDetailHeight = 24;

// Font sizes are in points: the writer works at 72 dots per inch, so a pixel is a point.
// A long log draws millions of glyphs; drawing Latin text unshaped saves a quarter of the
// time.
struct TextStyle {
    QFont font;
    QColor colour;
    QFontMetricsF metrics;

    TextStyle(int size, bool bold, QColor colour)
        : font(pageFont(size, bold, Shaping::latinUnshaped)), colour(colour), metrics(font) {}
};

QTextOption wrapOption() {
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

QTextOption noWrapOption() {
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::NoWrap);
    return option;
}

class ReportPainter {
public:
    ReportPainter(QPdfWriter &writer, QPainter &painter, const QString &title, qsizetype count,
                  const Clock &clock)
        : m_writer(writer), m_painter(painter), m_title(title), m_clock(clock), m_dates(clock),
          m_count(QString::number(count) +
                  (count == 1 ? QStringLiteral(" record") : QStringLiteral(" records"))),
          m_titleStyle(16, true, Qt::black), m_heading(9, true, Qt::black),
          m_name(11, true, Qt::black), m_body(9, false, Qt::black),
          m_secondary(9, false, QColor(85, 85, 85)) {}

    void drawHeader() {
        draw(m_titleStyle, QPointF(kLeft, 36), m_title);
        draw(m_secondary, QPointF(kLeft, 56),
             QStringLiteral("Generated ") + m_dates.text(m_clock.now()) +
                 QStringLiteral("  \u00B7  ") + m_count);
        draw(m_heading, QPointF(kLeft, 80), QStringLiteral("VISITOR"));
        draw(m_heading, QPointF(kSignedInX, 80), QStringLiteral("SIGNED IN"));
        draw(m_heading, QPointF(kSignedOutX, 80), QStringLiteral("SIGNED OUT"));
        m_painter.fillRect(QRectF(kLeft, 94, kRuleWidth, 0.8), Qt::black);
        m_y = kFirstRowTop;
    }

    bool drawRow(const VisitorRow &row) {
        if (m_y + kRowHeight > kPageBottom) {
            if (!m_writer.newPage())
                return false;
            drawHeader();
        }
        // A name wider than its column is cut short rather than run over the dates.
        drawName(QPointF(kLeft, m_y), row.visitorName, kDetailWidth);
        drawDetail(QRectF(kLeft, m_y + 14, kDetailWidth, kDetailHeight), detailText(row));
        draw(m_body, QPointF(kSignedInX, m_y), m_dates.text(row.signedInAt));
        draw(m_body, QPointF(kSignedOutX, m_y),
             row.signedOutAt ? m_dates.text(*row.signedOutAt) : QStringLiteral("On site"));
        m_y += kRowHeight;
        m_painter.fillRect(QRectF(kLeft, m_y - 6, kRuleWidth, 0.4), QColor(170, 170, 170, 128));
        return true;
    }

private:
    static QString detailText(const VisitorRow &row) {
        QStringList parts;
        parts.reserve(row.answers.size() + 1);
        if (row.hostName)
            parts.append(QStringLiteral("Visiting: ") + *row.hostName);
        for (const VisitorAnswer &answer : row.answers)
            parts.append(answer.label + QStringLiteral(": ") + answer.value);
        return parts.join(QStringLiteral("   "));
    }

    // Text whose top-left corner is at `topLeft`, on one line.
    void draw(const TextStyle &style, const QPointF &topLeft, const QString &text) {
        if (text.isEmpty())
            return;
        m_painter.setFont(style.font);
        m_painter.setPen(style.colour);
        m_painter.drawText(QPointF(topLeft.x(), topLeft.y() + style.metrics.ascent()), text);
    }

    // Wrapped within `rect`; the last line that fits ends in an ellipsis when text is left.
    void drawDetail(const QRectF &rect, const QString &text) {
        if (text.isEmpty())
            return;
        const TextStyle &style = m_secondary;
        const QString wrapped = withLineSeparators(text);
        QTextLayout layout(wrapped, style.font);
        layout.setTextOption(m_wrapLeft);
        const int visible = layoutFittingLines(layout, rect.width(), rect.height());
        if (visible == 0)
            return;

        m_painter.setFont(style.font);
        m_painter.setPen(style.colour);
        const QTextLine lastVisible = layout.lineAt(visible - 1);
        const bool cut = lastVisible.textStart() + lastVisible.textLength() < wrapped.size();
        for (int i = 0; i < (cut ? visible - 1 : visible); ++i)
            layout.lineAt(i).draw(&m_painter, rect.topLeft());
        if (cut) {
            const QString rest = oneLine(text.mid(lastVisible.textStart()));
            m_painter.drawText(
                QPointF(rect.left(), rect.top() + lastVisible.y() + lastVisible.ascent()),
                style.metrics.elidedText(rest, Qt::ElideRight, rect.width()));
        }
    }

    // The name on one line, cut short with an ellipsis when wider than `width`. Laid out
    // once: measuring and then drawing would shape the text twice.
    void drawName(const QPointF &topLeft, const QString &name, qreal width) {
        if (name.isEmpty())
            return;
        const QString text = oneLine(name);
        QTextLayout layout(text, m_name.font);
        layout.setTextOption(m_noWrap);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        layout.endLayout();
        if (line.naturalTextWidth() > width) {
            draw(m_name, topLeft, m_name.metrics.elidedText(text, Qt::ElideRight, width));
            return;
        }
        m_painter.setFont(m_name.font);
        m_painter.setPen(m_name.colour);
        line.draw(&m_painter, topLeft);
    }

    QPdfWriter &m_writer;
    QPainter &m_painter;
    QString m_title;
    const Clock &m_clock;
    ReportDateFormat m_dates;
    QString m_count;
    TextStyle m_titleStyle, m_heading, m_name, m_body, m_secondary;
    qreal m_y = kFirstRowTop;
    QTextOption m_wrapLeft = wrapOption();
    QTextOption m_noWrap = noWrapOption();
};

} // namespace

QByteArray exportReport(const QList<VisitorRow> &rows, const QString &title, const Clock &clock) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return {};
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(72);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::Letter), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0)));
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("Greetwell"));
        QPainter painter;
        if (!painter.begin(&writer))
            return {};
        ReportPainter report(writer, painter, title, rows.size(), clock);
        report.drawHeader();
        for (const VisitorRow &row : rows)
            if (!report.drawRow(row)) {
                painter.end();
                return {};
            }
        if (!painter.end())
            return {};
    }
    buffer.close();
    return bytes;
}
