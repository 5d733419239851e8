#include "AuthView.h"

#include "CaughtError.h"
#include "Icons.h"
#include "Style.h"
#include "cloud/CloudClient.h"

#include <QFocusEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace {
const QString confirmEmailText =
    QStringLiteral("Check your inbox for a link to confirm your email, then sign in.");
const QString resetSentText =
    QStringLiteral("If that email has an account, a reset link is on its way.");
const QString emailFirstText = QStringLiteral("Enter your email above first.");
constexpr int minimumPasswordLength = 8;
} // namespace

AuthView::AuthView(CloudClient *cloud, QWidget *parent) : QWidget(parent), m_cloud(cloud) {
    setObjectName(QStringLiteral("authView"));

    auto *column = new QWidget(this);
    column->setObjectName(QStringLiteral("authColumn"));
    column->setFixedWidth(420);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(32, 32, 32, 32);
    layout->setSpacing(20);

    auto *icon = new QLabel(column);
    icon->setPixmap(Icons::appIcon().pixmap(72, 72));
    icon->setFixedSize(72, 72);
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon, 0, Qt::AlignHCenter);

    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    auto *title = new QLabel(QStringLiteral("Greetwell"), column);
    Style::setText(title, Style::Text::largeTitle);
    title->setAlignment(Qt::AlignHCenter);
    auto *tagline =
        new QLabel(QStringLiteral("Sign in visitors, print badges and see who's here."), column);
    Style::setSecondary(tagline);
    tagline->setAlignment(Qt::AlignHCenter);
    tagline->setWordWrap(true);
    titles->addWidget(title);
    titles->addWidget(tagline);
    layout->addLayout(titles);

    // Two joined toggle buttons stand in for a segmented control.
    m_signInMode = new QPushButton(modeLabel(Mode::signIn), column);
    m_createMode = new QPushButton(modeLabel(Mode::create), column);
    m_signInMode->setObjectName(QStringLiteral("signInModeButton"));
    m_createMode->setObjectName(QStringLiteral("createModeButton"));
    // Not an exclusive group: Qt would then let Tab reach only the checked half. setMode
    // keeps exactly one checked.
    auto *segments = new QHBoxLayout;
    segments->setSpacing(0);
    for (QPushButton *button : {m_signInMode, m_createMode}) {
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::TabFocus);
        segments->addWidget(button, 1);
    }
    m_signInMode->setChecked(true);
    connect(m_signInMode, &QPushButton::clicked, this, [this] { chooseMode(Mode::signIn); });
    connect(m_createMode, &QPushButton::clicked, this, [this] { chooseMode(Mode::create); });
    layout->addLayout(segments);

    auto *form = m_form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Rows sit closer together than the screen's sections.
    form->setVerticalSpacing(10);
    m_name = new QLineEdit(column);
    m_name->setObjectName(QStringLiteral("nameField"));
    m_email = new QLineEdit(column);
    m_email->setObjectName(QStringLiteral("emailField"));
    m_email->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    m_password = new QLineEdit(column);
    m_password->setObjectName(QStringLiteral("passwordField"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                                    Qt::ImhNoAutoUppercase | Qt::ImhHiddenText);
    m_nameLabel = new QLabel(QStringLiteral("&Name"), column);
    m_nameLabel->setBuddy(m_name);
    form->addRow(m_nameLabel, m_name);
    form->addRow(QStringLiteral("&Email"), m_email);
    form->addRow(QStringLiteral("&Password"), m_password);
    m_passwordHint = new QLabel(QStringLiteral("At least 8 characters."), column);
    m_passwordHint->setObjectName(QStringLiteral("passwordHint"));
    Style::setText(m_passwordHint, Style::Text::caption);
    Style::setSecondary(m_passwordHint);
    form->addRow(QString(), m_passwordHint);
    layout->addLayout(form);
    for (QLineEdit *field : {m_name, m_email, m_password}) {
        connect(field, &QLineEdit::textChanged, this, &AuthView::updateControls);
        connect(field, &QLineEdit::returnPressed, this, &AuthView::submit);
    }

    m_messageLabel = new QLabel(column);
    m_messageLabel->setObjectName(QStringLiteral("authMessage"));
    m_messageLabel->setWordWrap(true);
    Style::setText(m_messageLabel, Style::Text::callout);
    // An empty label would still take its line and a gap above the buttons.
    m_messageLabel->hide();
    layout->addWidget(m_messageLabel);

    auto *buttons = new QHBoxLayout;
    m_forgot = new QPushButton(QStringLiteral("Forgot Password?"), column);
    m_forgot->setObjectName(QStringLiteral("forgotPasswordButton"));
    m_forgot->setFlat(true);
    m_forgot->setAutoDefault(false);
    m_forgot->setCursor(Qt::PointingHandCursor);
    Style::setForeground(m_forgot, palette().color(QPalette::Link));
    {
        QPalette linkPalette = m_forgot->palette();
        linkPalette.setColor(QPalette::ButtonText, palette().color(QPalette::Link));
        m_forgot->setPalette(linkPalette);
    }
    m_forgot->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; }"));
    connect(m_forgot, &QPushButton::clicked, this, &AuthView::forgotPassword);
    m_busy = new BusyIndicator(column);
    m_busy->setObjectName(QStringLiteral("authBusy"));
    m_submit = new QPushButton(column);
    m_submit->setObjectName(QStringLiteral("submitButton"));
    m_submit->setDefault(true);
    connect(m_submit, &QPushButton::clicked, this, &AuthView::submit);
    buttons->addWidget(m_forgot);
    buttons->addStretch(1);
    buttons->addWidget(m_busy);
    buttons->addWidget(m_submit);
    layout->addLayout(buttons);

    auto *outer = new QVBoxLayout(this);
    outer->addStretch(1);
    outer->addWidget(column, 0, Qt::AlignHCenter);
    outer->addStretch(1);

    // The mode switch first, then the fields top to bottom; hidden rows are skipped.
    const QList<QWidget *> order{m_signInMode, m_createMode, m_name,  m_email,
                                 m_password,   m_forgot,     m_submit};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    setMode(Mode::signIn);
}

void AuthView::focusInEvent(QFocusEvent *event) {
    // Focus given to the screen goes to the address. Not a focus proxy: Tab would then
    // wrap from the buttons to the address and never reach the mode switch.
    QWidget::focusInEvent(event);
    m_email->setFocus(event->reason());
}

QString AuthView::modeLabel(Mode mode) {
    return mode == Mode::signIn ? QStringLiteral("Sign In") : QStringLiteral("Create Account");
}

bool AuthView::isValidEmail(const QString &email) {
    static const QRegularExpression pattern(QStringLiteral(R"(^[^\s@]+@[^\s@]+\.[^\s@]+$)"));
    return pattern.match(email.trimmed()).hasMatch();
}

bool AuthView::canSubmit() const {
    if (m_isWorking || !isValidEmail(m_email->text()))
        return false;
    if (m_mode == Mode::signIn)
        return !m_password->text().isEmpty();
    return m_password->text().size() >= minimumPasswordLength && !m_name->text().isEmpty();
}

void AuthView::chooseMode(Mode mode) {
    setMessage(std::nullopt, false);
    setMode(mode);
    // A new account starts with its holder's name.
    if (mode == Mode::create)
        m_name->setFocus(Qt::OtherFocusReason);
}

void AuthView::setMode(Mode mode) {
    m_mode = mode;
    const bool create = mode == Mode::create;
    m_createMode->setChecked(create);
    m_signInMode->setChecked(!create);
    // Hidden rows give back their spacing too.
    m_form->setRowVisible(m_name, create);
    m_form->setRowVisible(m_passwordHint, create);
    m_forgot->setVisible(!create);
    m_submit->setText(modeLabel(mode));
    updateControls();
}

void AuthView::setWorking(bool working) {
    m_isWorking = working;
    updateControls();
}

void AuthView::setMessage(std::optional<QString> text, bool isError) {
    m_message = std::move(text);
    m_isError = isError;
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageLabel->setVisible(m_message.has_value());
    Style::setForeground(m_messageLabel,
                         isError ? Style::errorColor(palette()) : Style::secondaryColor(palette()));
}

void AuthView::updateControls() {
    m_submit->setEnabled(canSubmit());
    m_forgot->setEnabled(!m_isWorking);
    m_busy->setVisible(m_isWorking);
}

void AuthView::begin() {
    setWorking(true);
    setMessage(std::nullopt, false);
}

void AuthView::fail(const QString &text) {
    setMessage(text, true);
}

void AuthView::submit() {
    if (!canSubmit())
        return;
    begin();
    if (m_mode == Mode::signIn)
        runSignIn(m_email->text(), m_password->text());
    else
        runCreateAccount(m_name->text(), m_email->text(), m_password->text());
}

void AuthView::forgotPassword() {
    if (m_isWorking)
        return;
    if (!isValidEmail(m_email->text())) {
        setMessage(emailFirstText, true);
        m_email->setFocus(Qt::OtherFocusReason);
        return;
    }
    begin();
    runPasswordReset(m_email->text());
}

QCoro::Task<> AuthView::runSignIn(QString email, QString password) {
    QPointer<AuthView> self(this);
    std::optional<QString> failure;
    try {
        co_await m_cloud->signIn(email, password);
    } catch (...) {
        failure = caughtErrorText();
    }
    // On success the window has usually replaced this screen already.
    if (!self)
        co_return;
    if (failure)
        fail(*failure);
    setWorking(false);
}

QCoro::Task<> AuthView::runCreateAccount(QString name, QString email, QString password) {
    QPointer<AuthView> self(this);
    std::optional<QString> failure;
    bool signedIn = false;
    try {
        signedIn = co_await m_cloud->createAccount(name, email, password);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    if (failure) {
        fail(*failure);
    } else if (!signedIn) {
        setMode(Mode::signIn);
        setMessage(confirmEmailText, false);
    }
    setWorking(false);
}

QCoro::Task<> AuthView::runPasswordReset(QString email) {
    QPointer<AuthView> self(this);
    std::optional<QString> failure;
    try {
        co_await m_cloud->sendPasswordReset(email);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    if (failure)
        fail(*failure);
    else
        setMessage(resetSentText, false);
    setWorking(false);
}
