#include "badge/PageText.h"

#include <QFontDatabase>
#include <QTextLayout>

QFont pageFont(int pixels, bool bold, Shaping shaping) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(false);
    font.setHintingPreference(QFont::PreferNoHinting);
    if (shaping == Shaping::latinUnshaped)
        font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

QString oneLine(QString text) {
    for (QChar &c : text)
        if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    return text;
}

QString withLineSeparators(QString text) {
    text.replace(QLatin1String("\r\n"), QChar(QChar::LineSeparator));
    text.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));
    text.replace(QLatin1Char('\r'), QChar(QChar::LineSeparator));
    return text;
}

int layoutFittingLines(QTextLayout &layout, qreal width, qreal height) {
    int visible = 0;
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
        if (y > height)
            break; // the rest is cut off; no need to lay it out
        ++visible;
    }
    layout.endLayout();
    return visible;
}
