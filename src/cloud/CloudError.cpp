#include "cloud/CloudError.h"

#include "cloud/Cancellation.h"
#include "records/Records.h"

QString CloudError::description() const {
    switch (m_kind) {
    case Kind::server:
        if (!m_message.isEmpty())
            return m_message;
        return QStringLiteral("The server answered %1.").arg(m_status);
    case Kind::network:
        return m_message;
    case Kind::wrongCredentials:
        return QStringLiteral("That email and password combination did not work.");
    case Kind::emailNotConfirmed:
        return QStringLiteral("Confirm your email first. Check your inbox for the link we sent "
                              "when you signed up.");
    case Kind::accountExists:
        return QStringLiteral("There's already an account for that email. Sign in with it "
                              "instead.");
    case Kind::signedOut:
        return QStringLiteral("Your session ended. Please sign in again.");
    }
    return {};
}

const char *CloudError::what() const noexcept {
    try {
        m_what = description().toStdString();
    } catch (...) {
        return "cloud error";
    }
    return m_what.c_str();
}

QString describeError(const std::exception &error) {
    if (const auto *cloud = dynamic_cast<const CloudError *>(&error))
        return cloud->description();
    if (const auto *decoding = dynamic_cast<const DecodingError *>(&error))
        return decoding->description();
    if (dynamic_cast<const Cancelled *>(&error))
        return {};
    return QString::fromStdString(error.what());
}
