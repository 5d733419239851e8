#include "BadgeSettings.h"

#include "SettingsSection.h"
#include "Style.h"
#include "badge/BadgeDrawing.h"
#include "badge/BadgePrinter.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

const QString BadgeSettings::sampleName = QStringLiteral("Jordan Avery");

BadgePreview::BadgePreview(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("badgePreview"));
    setFixedHeight(maximumPreviewHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void BadgePreview::setBadge(const QString &name, LabelStock stock, const QDateTime &timestamp) {
    m_stock = stock;
    m_image = BadgeView(name, stock, timestamp).toImage();
    update();
}

QSize BadgePreview::sizeHint() const {
    return {400, maximumPreviewHeight};
}

QRect BadgePreview::badgeRect() const {
    // The row's full width and height, but the badge keeps its own proportions: a label
    // squeezed flat would not show what prints.
    if (m_image.isNull())
        return {};
    return fitAndCentre(QSizeF(m_image.size()), QRectF(rect())).toAlignedRect();
}

void BadgePreview::paintEvent(QPaintEvent *) {
    if (m_image.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect target = badgeRect();
    painter.drawImage(target, m_image);
    QColor edge = palette().color(QPalette::WindowText);
    edge.setAlphaF(0.2);
    painter.setPen(edge);
    painter.drawRect(target.adjusted(0, 0, -1, -1));
}

BadgeSettings::BadgeSettings(BadgePrinter *printer, QWidget *parent)
    : QWidget(parent), m_printer(printer) {
    setObjectName(QStringLiteral("badgeSettings"));
    auto *layout = settingsTabLayout(this);

    auto *settings = new SettingsSection(QString(), this);
    QFormLayout *form = settings->form();
    m_autoPrint =
        new SettingsSwitch(QStringLiteral("Print a badge at each sign-in"), settings->box());
    m_autoPrint->setObjectName(QStringLiteral("autoPrintSwitch"));
    form->addRow(m_autoPrint);
    m_printerPicker = new QComboBox(settings->box());
    m_printerPicker->setObjectName(QStringLiteral("printerPicker"));
    form->addRow(QStringLiteral("Printer"), m_printerPicker);
    m_stockPicker = new QComboBox(settings->box());
    m_stockPicker->setObjectName(QStringLiteral("labelPicker"));
    m_stockPicker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_stockPicker->setMinimumContentsLength(20);
    for (LabelStock stock : allLabelStocks())
        m_stockPicker->addItem(labelStockTitle(stock), int(stock));
    form->addRow(QStringLiteral("Label"), m_stockPicker);
    m_showDialog =
        new SettingsSwitch(QStringLiteral("Show the print dialog each time"), settings->box());
    m_showDialog->setObjectName(QStringLiteral("showDialogSwitch"));
    form->addRow(m_showDialog);
    settings->setFooter(QStringLiteral("Brother label printers need their Linux (CUPS) driver "
                                       "installed, then appear here like any other printer."));
    layout->addWidget(settings);

    auto *preview = new SettingsSection(QStringLiteral("Preview"), this);
    m_preview = new BadgePreview(preview->box());
    preview->form()->addRow(m_preview);
    m_printTest = new QPushButton(QStringLiteral("Print Test Badge"), preview->box());
    m_printTest->setObjectName(QStringLiteral("printTestBadgeButton"));
    m_printTest->setAutoDefault(false);
    preview->form()->addRow(m_printTest);
    preview->form()->setAlignment(m_printTest, Qt::AlignHCenter);
    m_resultLabel = new QLabel(preview->box());
    m_resultLabel->setObjectName(QStringLiteral("testBadgeResult"));
    m_resultLabel->setWordWrap(true);
    m_resultLabel->setAlignment(Qt::AlignHCenter);
    Style::setText(m_resultLabel, Style::Text::callout);
    preview->form()->addRow(m_resultLabel);
    layout->addWidget(preview);
    layout->addStretch(1);

    connect(m_autoPrint, &QAbstractButton::toggled, printer, &BadgePrinter::setAutoPrint);
    connect(m_showDialog, &QAbstractButton::toggled, printer, &BadgePrinter::setShowDialog);
    connect(m_printerPicker, &QComboBox::activated, this, [this](int index) {
        if (m_printer)
            m_printer->setPrinterName(m_printerPicker->itemData(index).toString());
    });
    connect(m_stockPicker, &QComboBox::activated, this, [this](int index) {
        if (m_printer)
            m_printer->setStock(LabelStock(m_stockPicker->itemData(index).toInt()));
    });
    connect(m_printTest, &QPushButton::clicked, this, &BadgeSettings::printTestBadge);
    connect(printer, &BadgePrinter::autoPrintChanged, m_autoPrint, &QAbstractButton::setChecked);
    connect(printer, &BadgePrinter::showDialogChanged, m_showDialog, &QAbstractButton::setChecked);
    connect(printer, &BadgePrinter::printerNameChanged, this, &BadgeSettings::showPrinter);
    connect(printer, &BadgePrinter::stockChanged, this, &BadgeSettings::showStock);

    m_autoPrint->setChecked(printer->autoPrint());
    m_showDialog->setChecked(printer->showDialog());
    reloadPrinters();
    showStock();
    showTestResult();
}

void BadgeSettings::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // Printers plugged in meanwhile, and the time on the sample, follow each time the
    // tab comes back.
    reloadPrinters();
    showStock();
}

void BadgeSettings::reloadPrinters() {
    m_printerPicker->clear();
    m_printerPicker->addItem(QStringLiteral("System Default"), QString());
    for (const QString &name : BadgePrinter::installedPrinterNames())
        m_printerPicker->addItem(name, name);
    showPrinter();
}

void BadgeSettings::showPrinter() {
    if (!m_printer)
        return;
    const QString name = m_printer->printerName();
    int index = m_printerPicker->findData(name);
    if (index < 0) {
        // A chosen printer that has since gone stays chosen (and fails to print) until
        // another is picked; say so instead of showing an empty picker.
        m_printerPicker->addItem(QStringLiteral("%1 (not available)").arg(name), name);
        index = m_printerPicker->count() - 1;
    }
    m_printerPicker->setCurrentIndex(index);
    // A missing printer's entry is only kept while it is the choice.
    for (int i = m_printerPicker->count() - 1; i > 0; --i) {
        const QString entry = m_printerPicker->itemData(i).toString();
        if (i != m_printerPicker->currentIndex() &&
            !BadgePrinter::installedPrinterNames().contains(entry))
            m_printerPicker->removeItem(i);
    }
}

void BadgeSettings::showStock() {
    if (!m_printer)
        return;
    const LabelStock stock = m_printer->stock();
    m_stockPicker->setCurrentIndex(m_stockPicker->findData(int(stock)));
    m_preview->setBadge(sampleName, stock, QDateTime::currentDateTime());
}

void BadgeSettings::printTestBadge() {
    if (!m_printer)
        return;
    // Runs to its end here: printing blocks, as it does at sign-in.
    const BadgePrintResult result = m_printer->printBadge(sampleName, QDateTime::currentDateTime());
    const QString text = badgePrintResultMessage(result);
    m_testResult = text.isEmpty() ? std::nullopt : std::optional(text);
    showTestResult();
}

void BadgeSettings::showTestResult() {
    showSettingsMessage(m_resultLabel, m_testResult, true);
}
