#include "InviteCodeSheet.h"

#include "Style.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <qrencode.h>

namespace {
constexpr int quietZone = 4;

struct QrFree {
    void operator()(QRcode *code) const { QRcode_free(code); }
};
} // namespace

PixelImageView::PixelImageView(const QImage &image, QWidget *parent)
    : QWidget(parent), m_image(image) {}

void PixelImageView::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(rect(), m_image);
}

QImage InviteCodeSheet::qrImage(const QByteArray &message, int scale) {
    if (message.isEmpty() || scale < 1)
        return {};
    // Encoded as 8-bit data: the link's UTF-8 bytes exactly, letter case kept.
    std::unique_ptr<QRcode, QrFree> code(QRcode_encodeData(
        int(message.size()), reinterpret_cast<const unsigned char *>(message.constData()), 0,
        QR_ECLEVEL_M));
    if (!code || code->width <= 0)
        return {};
    const int modules = code->width + 2 * quietZone;
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    if (image.isNull())
        return {};
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            // Bit 0 of each module byte says whether it is dark.
            if (code->data[y * code->width + x] & 1)
                painter.fillRect((x + quietZone) * scale, (y + quietZone) * scale, scale, scale,
                                 Qt::black);
        }
    }
    return image;
}

InviteCodeSheet::InviteCodeSheet(const Invite &invite, const QString &link, QWidget *parent)
    : QDialog(parent), m_invite(invite), m_code(qrImage(link.toUtf8())) {
    setObjectName(QStringLiteral("inviteCodeSheet"));
    setWindowTitle(invite.visitorName);
    setWindowModality(Qt::WindowModal);

    auto *name = new QLabel(invite.visitorName, this);
    name->setObjectName(QStringLiteral("inviteCodeName"));
    name->setTextFormat(Qt::PlainText);
    name->setAlignment(Qt::AlignCenter);
    name->setWordWrap(true);
    // A long name wraps above the code instead of widening the sheet.
    name->setFixedWidth(codeSize);
    Style::setText(name, Style::Text::title2);

    auto *done = new QPushButton(QStringLiteral("Done"), this);
    done->setObjectName(QStringLiteral("doneButton"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);
    layout->addWidget(name);
    if (!m_code.isNull()) {
        auto *image = new PixelImageView(m_code, this);
        image->setObjectName(QStringLiteral("inviteCodeImage"));
        image->setFixedSize(codeSize, codeSize);
        image->setAccessibleName(QStringLiteral("QR code of the invite link"));
        layout->addWidget(image, 0, Qt::AlignHCenter);
    }
    layout->addWidget(done, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
