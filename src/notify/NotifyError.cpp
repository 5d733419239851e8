#include "NotifyError.h"

QString NotifyError::message() const {
    if (m_kind == Kind::http)
        return QStringLiteral("The service answered with error %1. Check the webhook URL.")
            .arg(m_status);
    return m_text;
}
