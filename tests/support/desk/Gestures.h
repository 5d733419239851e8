#pragma once

// What a person at the desk does with the keyboard and mouse, for the screen tests.

#include <QAbstractButton>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QTest>

// Types into a line edit as a person would (so textEdited fires).
inline void typeInto(QLineEdit *edit, const QString &text) {
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

// Text arriving as typed input (so the field reports an edit), emoji included.
inline void enterText(QWidget *edit, const QString &text) {
    edit->setFocus();
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(edit, &event);
}

inline void click(QAbstractButton *button) {
    QVERIFY(button);
    QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + " is disabled"));
    QTest::mouseClick(button, Qt::LeftButton);
}
