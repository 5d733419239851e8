#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

// What a section shows when it has nothing to list: a symbol, a title, a line of
// description and, where there is an obvious first step, one button for it.
class EmptyStatePanel : public QWidget {
    Q_OBJECT
public:
    EmptyStatePanel(const QString &symbol, const QString &title, QWidget *parent = nullptr);
    void setDescription(const QString &text);
    QPushButton *addButton(const QString &text);

private:
    QVBoxLayout *m_layout;
    QLabel *m_description;
};
