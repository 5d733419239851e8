#pragma once

// Text on drawn pages: badges, the visitor report and the roll call.

#include <QFont>
#include <QString>

class QTextLayout;

// Whether the font may join letters (ligatures, contextual forms).
enum class Shaping {
    full,
    // Latin text is drawn letter by letter: it reads back out of a PDF as typed ("Office",
    // not "Oﬃce") and draws faster; only kerning is lost. Scripts that need shaping still
    // get it.
    latinUnshaped,
};

// The regular or bold system sans-serif font, `pixels` high. Pixel sizes follow the
// painter's transform, so a page comes out the same on a preview image, a 72 dpi PDF and
// a 1200 dpi printer; hinting is off for the same reason.
QFont pageFont(int pixels, bool bold = false, Shaping shaping = Shaping::full);

// `text` on one line: every line or paragraph break becomes a space.
QString oneLine(QString text);
// `text` with its line breaks turned into the separators QTextLayout breaks lines at.
QString withLineSeparators(QString text);
// Lays `layout` out in lines `width` wide, stopping at the first line that does not fit
// whole in `height`; returns how many lines fit.
int layoutFittingLines(QTextLayout &layout, qreal width, qreal height);
