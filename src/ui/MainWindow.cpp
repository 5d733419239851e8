#include "MainWindow.h"

#include <QLabel>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Greetwell"));
    setMinimumSize(860, 560);
    auto *placeholder = new QLabel(tr("Greetwell is getting ready."), this);
    placeholder->setAlignment(Qt::AlignCenter);
    setCentralWidget(placeholder);
}
