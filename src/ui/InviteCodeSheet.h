#pragma once

#include "records/Records.h"

#include <QDialog>
#include <QImage>
#include <QWidget>

// An image drawn stretched to the widget without smoothing, so QR modules stay crisp.
class PixelImageView : public QWidget {
    Q_OBJECT
public:
    explicit PixelImageView(const QImage &image, QWidget *parent = nullptr);
    const QImage &image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
};

// The invite's QR code, for a visitor to scan from the desk's screen.
class InviteCodeSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int codeSize = 260;

    InviteCodeSheet(const Invite &invite, const QString &link, QWidget *parent = nullptr);

    const Invite &invite() const { return m_invite; }
    // Null when no code could be made for the link; the sheet then shows no image.
    const QImage &codeImage() const { return m_code; }

    // The QR symbol of `message` at error-correction level M, with the standard
    // four-module quiet zone, each module `scale` pixels square. Null when the
    // message cannot be encoded (too long for any QR version, for one).
    static QImage qrImage(const QByteArray &message, int scale = 10);

private:
    Invite m_invite;
    QImage m_code;
};
