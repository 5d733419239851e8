#pragma once

// The badge settings of this computer (print automatically, label stock, printer, show the
// print dialog), kept in QSettings, and printing one badge through the print system.

#include "badge/BadgePrintResult.h"
#include "badge/LabelStock.h"

#include <QDateTime>
#include <QObject>
#include <QPageLayout>
#include <QPointer>
#include <QString>
#include <QStringList>

class QPrinter;
class QSettings;

class BadgePrinter : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool autoPrint READ autoPrint WRITE setAutoPrint NOTIFY autoPrintChanged)
    Q_PROPERTY(LabelStock stock READ stock WRITE setStock NOTIFY stockChanged)
    Q_PROPERTY(QString printerName READ printerName WRITE setPrinterName NOTIFY printerNameChanged)
    Q_PROPERTY(bool showDialog READ showDialog WRITE setShowDialog NOTIFY showDialogChanged)

public:
    // Reads the four keys once; every later change is written back at once. The settings
    // object must outlive this one.
    explicit BadgePrinter(QSettings *settings, QObject *parent = nullptr);

    bool autoPrint() const { return m_autoPrint; }
    LabelStock stock() const { return m_stock; }
    // Empty means the system's default printer.
    QString printerName() const { return m_printerName; }
    bool showDialog() const { return m_showDialog; }

    void setAutoPrint(bool on);
    void setStock(LabelStock stock);
    void setPrinterName(const QString &name);
    void setShowDialog(bool on);

    // Prints one badge with the current settings. Blocks until the job is handed to the
    // print system (and while the print dialog is open). Never throws.
    BadgePrintResult printBadge(const QString &name, const QDateTime &timestamp);
    // Why the last printBadge failed, in the print system's words ("Destination ... is
    // not accepting jobs."); empty when it did not fail or the system gave no reason.
    QString failureDetail() const { return m_failureDetail; }
    // The badge as one PDF page of exactly the stock's size; empty if drawing failed.
    static QByteArray badgePdf(const QString &name, LabelStock stock, const QDateTime &timestamp);

    // The installed printers, in the print system's order.
    static QStringList installedPrinterNames();
    // The job title of a badge print: "Visitor badge - " and the name.
    static QString jobTitle(const QString &name);
    // A landscape page of exactly the stock's size, with no margins.
    static QPageLayout pageLayout(LabelStock stock);

signals:
    void autoPrintChanged(bool autoPrint);
    void stockChanged(LabelStock stock);
    void printerNameChanged(const QString &printerName);
    void showDialogChanged(bool showDialog);

private:
    void store(const QString &key, const QVariant &value);

    QPointer<QSettings> m_settings;
    bool m_autoPrint = false;
    LabelStock m_stock = LabelStock::dk2205;
    QString m_printerName;
    bool m_showDialog = false;
    QString m_failureDetail;
};
