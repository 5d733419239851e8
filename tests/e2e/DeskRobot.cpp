#include "DeskRobot.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QtEndian>

namespace {
constexpr int pollMs = 40;

QString program(const QString &name) {
    return QStandardPaths::findExecutable(name);
}

QString quoted(const QStringList &labels) {
    QStringList shown;
    for (const QString &label : labels)
        shown << '"' + label + '"';
    return shown.join(" / ");
}
} // namespace

QString Look::describe() const {
    return QString::fromUtf8(QJsonDocument(query).toJson(QJsonDocument::Compact));
}

QString Seen::describe() const {
    if (!found)
        return QStringLiteral("nothing");
    QString text = className + (name.isEmpty() ? QString() : " \"" + name + '"');
    if (!labels.isEmpty())
        text += ' ' + quoted(labels);
    if (!value.isEmpty())
        text += " holding \"" + value + '"';
    if (!enabled)
        text += " (disabled)";
    if (checked)
        text += " (checked)";
    return text + " in " + window;
}

DeskRobot::DeskRobot(QString home, QString output)
    : m_home(std::move(home)), m_output(std::move(output)) {
    m_frameBuffer = m_home + "/framebuffer";
    m_runtime = m_home + "/runtime";
    for (const QString &dir : {m_frameBuffer, m_runtime, m_output})
        QDir().mkpath(dir);
    // The runtime folder must be private, as a login's is.
    QFile::setPermissions(m_runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

DeskRobot::~DeskRobot() {
    stop();
}

QString DeskRobot::missingTools() {
    QStringList missing;
    for (const char *tool : {"Xvfb", "xdotool"}) {
        if (program(tool).isEmpty())
            missing << tool;
    }
    return missing.join(", ");
}

void DeskRobot::startDisplay() {
    m_xvfb = std::make_unique<QProcess>();
    m_xvfb->setProgram(program("Xvfb"));
    // -displayfd: the server picks a free display and writes its number once it is ready.
    m_xvfb->setArguments({"-displayfd", "1", "-screen", "0", "1280x800x24", "-fbdir", m_frameBuffer,
                          "-nolisten", "tcp", "-noreset"});
    m_xvfb->setStandardErrorFile(m_output + "/xvfb.log");
    m_xvfb->start();
    QByteArray number;
    waitUntil(
        "the X server to start",
        [&] {
            number += m_xvfb->readAllStandardOutput();
            if (m_xvfb->state() == QProcess::NotRunning)
                throw StepFailed("Xvfb exited at once; see " + m_output.toStdString() +
                                 "/xvfb.log");
            return number.contains('\n');
        },
        10000);
    m_display = ':' + QString::fromLatin1(number.trimmed());

    const QString openbox = program("openbox");
    if (openbox.isEmpty())
        return; // no window manager: windows still show, without frames
    const QString ready = m_home + "/window-manager-ready";
    QFile::remove(ready);
    m_windowManager = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", m_display);
    environment.insert("HOME", m_home);
    environment.insert("XDG_CONFIG_HOME", m_home + "/config");
    m_windowManager->setProcessEnvironment(environment);
    m_windowManager->setStandardOutputFile(m_output + "/openbox.log");
    m_windowManager->setStandardErrorFile(m_output + "/openbox.log", QIODevice::Append);
    m_windowManager->start(openbox, {"--startup", "touch " + ready});
    waitUntil(
        "the window manager to start",
        [&] {
            if (m_windowManager->state() == QProcess::NotRunning)
                throw StepFailed("openbox exited at once; see " + m_output.toStdString() +
                                 "/openbox.log");
            return QFile::exists(ready);
        },
        10000);
}

void DeskRobot::launch(const QProcessEnvironment &extra) {
    const QString driver = m_runtime + "/driver";
    QFile::remove(driver);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", m_display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("HOME", m_home);
    environment.insert("XDG_CONFIG_HOME", m_home + "/config");
    environment.insert("XDG_DATA_HOME", m_home + "/data");
    environment.insert("XDG_CACHE_HOME", m_home + "/cache");
    environment.insert("XDG_RUNTIME_DIR", m_runtime);
    environment.insert("GREETWELL_TEST_DRIVER", driver);
    environment.insert(extra);

    m_socket.reset();
    m_buffer.clear();
    m_desk = std::make_unique<QProcess>();
    m_desk->setProcessEnvironment(environment);
    const QString log = m_output + QStringLiteral("/greetwell-%1.log").arg(++m_launches);
    m_desk->setStandardOutputFile(log);
    m_desk->setStandardErrorFile(log, QIODevice::Append);
    m_desk->start(QStringLiteral(GW_BINARY_DIR "/src/greetwell"), {});

    auto socket = std::make_unique<QLocalSocket>();
    waitUntil(
        "greetwell's test driver to answer",
        [&] {
            if (m_desk->state() == QProcess::NotRunning)
                throw StepFailed(
                    QStringLiteral("greetwell exited (code %1) before its test driver answered; "
                                   "a build without GREETWELL_TEST_HOOKS has none. Log: %2")
                        .arg(m_desk->exitCode())
                        .arg(log)
                        .toStdString());
            if (!QFile::exists(driver))
                return false;
            socket->connectToServer(driver);
            return socket->waitForConnected(1000);
        },
        20000);
    m_socket = std::move(socket);
    request({{"op", "ping"}});
}

bool DeskRobot::isRunning() const {
    return m_desk && m_desk->state() != QProcess::NotRunning;
}

int DeskRobot::waitForExit(int timeoutMs) {
    waitUntil(
        "greetwell to quit", [&] { return !isRunning(); }, timeoutMs);
    m_socket.reset();
    return m_desk->exitStatus() == QProcess::NormalExit ? m_desk->exitCode() : -1;
}

void DeskRobot::stop() {
    m_socket.reset();
    // Politely first: the desk quits on SIGTERM through its event loop.
    for (auto *process : {m_desk.get(), m_windowManager.get(), m_xvfb.get()}) {
        if (!process || process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
}

QJsonObject DeskRobot::request(const QJsonObject &body, int timeoutMs) {
    if (!m_socket || m_socket->state() != QLocalSocket::ConnectedState)
        throw StepFailed(isRunning() ? "the desk's test driver is not connected"
                                     : "greetwell is not running (did it crash?)");
    m_socket->write(QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n');
    QElapsedTimer timer;
    timer.start();
    while (!m_buffer.contains('\n')) {
        m_buffer += m_socket->readAll();
        if (m_buffer.contains('\n'))
            break;
        if (m_socket->state() != QLocalSocket::ConnectedState)
            throw StepFailed("greetwell closed its test driver (did it crash?)");
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            throw StepFailed("greetwell's test driver did not answer within " +
                             std::to_string(timeoutMs) + " ms (is the desk hanging?)");
        QEventLoop loop;
        QObject::connect(m_socket.get(), &QLocalSocket::readyRead, &loop, &QEventLoop::quit);
        QObject::connect(m_socket.get(), &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
        QTimer::singleShot(int(left), &loop, &QEventLoop::quit);
        loop.exec();
    }
    const qsizetype end = m_buffer.indexOf('\n');
    const QJsonObject reply = QJsonDocument::fromJson(m_buffer.left(end)).object();
    m_buffer.remove(0, end + 1);
    if (!reply.value("ok").toBool())
        throw StepFailed("greetwell's test driver refused " +
                         QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString() + ": " +
                         reply.value("error").toString().toStdString());
    return reply;
}

Seen DeskRobot::find(const Look &look) {
    QJsonObject body = look.query;
    body.insert("op", "find");
    const QJsonObject reply = request(body);
    Seen seen;
    seen.found = reply.value("found").toBool();
    if (!seen.found)
        return seen;
    seen.window = reply.value("window").toString();
    seen.kind = reply.value("kind").toString();
    seen.className = reply.value("class").toString();
    seen.name = reply.value("name").toString();
    seen.value = reply.value("value").toString();
    for (const QJsonValue &label : reply.value("labels").toArray())
        seen.labels << label.toString();
    seen.enabled = reply.value("enabled").toBool();
    seen.checked = reply.value("checked").toBool();
    seen.focused = reply.value("focused").toBool();
    seen.exposed = reply.value("exposed").toBool();
    seen.masked = reply.value("masked").toBool();
    seen.windowId = reply.value("windowId").toString();
    const auto rect = [&reply](const char *key) {
        const QJsonArray r = reply.value(key).toArray();
        return QRect(r.at(0).toInt(), r.at(1).toInt(), r.at(2).toInt(), r.at(3).toInt());
    };
    seen.rect = rect("rect");
    seen.local = rect("local");
    return seen;
}

void DeskRobot::waitUntil(const QString &what, const std::function<bool()> &until, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!until()) {
        if (timer.elapsed() > timeoutMs)
            throw StepFailed(QStringLiteral("waited %1 s for %2")
                                 .arg(timeoutMs / 1000.0)
                                 .arg(what)
                                 .toStdString());
        QTest::qWait(pollMs);
    }
}

namespace {
// Polls what `look` finds until `done` holds; a failure adds `context` and what was seen
// last.
Seen pollFind(DeskRobot &robot, const Look &look, const QString &what,
              const std::function<bool(const Seen &)> &done, int timeoutMs,
              const std::string &context) {
    Seen seen;
    try {
        robot.waitUntil(
            what,
            [&] {
                seen = robot.find(look);
                return done(seen);
            },
            timeoutMs);
    } catch (const StepFailed &failure) {
        throw StepFailed(std::string(failure.what()) + " (" + context +
                         seen.describe().toStdString() + ")");
    }
    return seen;
}
} // namespace

Seen DeskRobot::waitFor(const Look &look, const QString &what,
                        const std::function<bool(const Seen &)> &until, int timeoutMs) {
    return pollFind(
        *this, look, what, [&](const Seen &seen) { return seen.found && (!until || until(seen)); },
        timeoutMs, "looked for " + look.describe().toStdString() + ", last saw ");
}

void DeskRobot::waitGone(const Look &look, const QString &what, int timeoutMs) {
    pollFind(
        *this, look, what, [](const Seen &seen) { return !seen.found; }, timeoutMs,
        "still shown: ");
}

void DeskRobot::xdotool(const QStringList &arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", m_display);
    process.setProcessEnvironment(environment);
    process.start(program("xdotool"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        throw StepFailed("xdotool " + arguments.join(' ').toStdString() +
                         " failed: " + process.readAllStandardError().toStdString());
}

void DeskRobot::click(const Look &look) {
    const Seen seen = waitFor(look, "something to click: " + look.describe(), [](const Seen &s) {
        return s.enabled && s.exposed && !s.local.isEmpty();
    });
    // Relative to its own window: the X server then puts the pointer on it even while
    // the window manager is still placing a window that has just opened.
    const QPoint at = seen.local.center();
    xdotool({"mousemove", "--sync", "--window", seen.windowId, QString::number(at.x()),
             QString::number(at.y()), "click", "1"});
}

void DeskRobot::typeInto(const Look &look, const QString &text) {
    click(look);
    const Seen field =
        waitFor(look, "the field to take the keyboard", [](const Seen &s) { return s.focused; });
    pressKeys("ctrl+a");
    xdotool({"type", "--delay", "4", "--", text});
    if (field.masked)
        return;
    waitFor(
        look, "the typed text to arrive: \"" + text + '"',
        [&text](const Seen &s) { return s.value == text; }, 5000);
}

void DeskRobot::pressKeys(const QString &keys) {
    xdotool({"key", "--clearmodifiers", keys});
}

QString DeskRobot::screenText() {
    QJsonObject reply;
    try {
        reply = request({{"op", "texts"}});
    } catch (const StepFailed &failure) {
        return QStringLiteral("(could not read the screen: %1)").arg(failure.what());
    }
    QStringList lines;
    for (const QJsonValue &value : reply.value("windows").toArray()) {
        const QJsonObject window = value.toObject();
        QStringList texts;
        for (const QJsonValue &text : window.value("texts").toArray())
            texts << text.toString();
        lines << QStringLiteral("window %1 \"%2\": %3")
                     .arg(window.value("window").toString(), window.value("title").toString(),
                          texts.join(" | "));
    }
    lines << "keyboard focus: " + reply.value("focus").toString();
    return lines.join('\n');
}

bool DeskRobot::screenshot(const QString &path) const {
    // Xvfb keeps its screen as an XWD image in -fbdir: a big-endian header, a colour
    // map, then the pixels, here 32 bits each in the server's byte order.
    QFile file(m_frameBuffer + "/Xvfb_screen0");
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    if (data.size() < 100)
        return false;
    const auto field = [&data](int index) {
        return qFromBigEndian<quint32>(data.constData() + 4 * index);
    };
    const quint32 headerSize = field(0), width = field(4), height = field(5);
    const bool lsbFirst = field(7) == 0;
    const quint32 bitsPerPixel = field(11), bytesPerLine = field(12), colours = field(19);
    const qint64 start = qint64(headerSize) + 12 * qint64(colours);
    // Pixels in the host's byte order are what QImage reads as RGB32.
    if (bitsPerPixel != 32 || lsbFirst != (QSysInfo::ByteOrder == QSysInfo::LittleEndian) ||
        start + qint64(bytesPerLine) * height > data.size())
        return false;
    const QImage image(reinterpret_cast<const uchar *>(data.constData() + start), int(width),
                       int(height), int(bytesPerLine), QImage::Format_RGB32);
    const QImage copy = image.copy();
    return copy.save(path, "PNG");
}
