#pragma once

#include <QAction>
#include <QList>
#include <QWidget>

// A screen of the desk's detail column. The desk puts the section's own actions into
// the window toolbar while the section shows.
class SectionView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual QList<QAction *> toolbarActions() const { return {}; }
};
