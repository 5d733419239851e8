#pragma once

#include "badge/LabelStock.h"

#include <QDateTime>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <optional>

class BadgePrinter;
class QComboBox;
class QLabel;
class QPushButton;
class SettingsSwitch;

// The badge as the current stock draws it, scaled into the width of its row and at
// most `maximumPreviewHeight` high.
class BadgePreview : public QWidget {
    Q_OBJECT
public:
    static constexpr int maximumPreviewHeight = 120;

    explicit BadgePreview(QWidget *parent = nullptr);
    void setBadge(const QString &name, LabelStock stock, const QDateTime &timestamp);
    const QImage &image() const { return m_image; }
    LabelStock stock() const { return m_stock; }
    // Where the badge is drawn inside the widget.
    QRect badgeRect() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
    LabelStock m_stock = LabelStock::dk2205;
};

// The Badges tab: this computer's badge settings, bound straight to the BadgePrinter so
// every change is stored at once, with a preview and a test print.
class BadgeSettings : public QWidget {
    Q_OBJECT
public:
    static const QString sampleName;

    explicit BadgeSettings(BadgePrinter *printer, QWidget *parent = nullptr);

    const std::optional<QString> &testResult() const { return m_testResult; }

public slots:
    void printTestBadge();
    // Lists the installed printers again (done whenever the tab is shown).
    void reloadPrinters();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showPrinter();
    void showStock();
    void showTestResult();

    QPointer<BadgePrinter> m_printer;
    std::optional<QString> m_testResult;

    SettingsSwitch *m_autoPrint;
    QComboBox *m_printerPicker;
    QComboBox *m_stockPicker;
    SettingsSwitch *m_showDialog;
    BadgePreview *m_preview;
    QPushButton *m_printTest;
    QLabel *m_resultLabel;
};
