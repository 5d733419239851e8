#include "EmptyStatePanel.h"

#include "Icons.h"
#include "Style.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

EmptyStatePanel::EmptyStatePanel(const QString &symbol, const QString &title, QWidget *parent)
    : QWidget(parent), m_layout(new QVBoxLayout(this)), m_description(new QLabel(this)) {
    setObjectName(QStringLiteral("emptyState"));
    auto *icon = new QLabel(this);
    icon->setPixmap(Icons::symbol(symbol).pixmap(48, 48));
    icon->setAlignment(Qt::AlignCenter);
    auto *titleLabel = new QLabel(title, this);
    titleLabel->setObjectName(QStringLiteral("emptyTitle"));
    Style::setText(titleLabel, Style::Text::title2);
    titleLabel->setAlignment(Qt::AlignCenter);
    m_description->setObjectName(QStringLiteral("emptyDescription"));
    m_description->setAlignment(Qt::AlignCenter);
    m_description->setWordWrap(true);
    Style::setSecondary(m_description);
    m_layout->addStretch(1);
    m_layout->addWidget(icon);
    m_layout->addSpacing(4);
    m_layout->addWidget(titleLabel);
    m_layout->addWidget(m_description);
    m_layout->addStretch(1);
}

void EmptyStatePanel::setDescription(const QString &text) {
    m_description->setText(text);
}

QPushButton *EmptyStatePanel::addButton(const QString &text) {
    auto *button = new QPushButton(text, this);
    button->setAutoDefault(false);
    // Below the description, above the closing stretch.
    const int at = m_layout->count() - 1;
    m_layout->insertSpacing(at, 8);
    m_layout->insertWidget(at + 1, button, 0, Qt::AlignHCenter);
    return button;
}
