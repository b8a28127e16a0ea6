#include "platform/UserDefaults.h"

#include "base/IsoDate.h"

namespace quorvane {

QString UserDefaults::defaultFile() {
    // The native format here is INI text in a ".conf" file; IniFormat would name it ".ini".
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", "Quorvane Ombrel")
        .fileName();
}

UserDefaults::UserDefaults(const QString& file) : file_(file) {
    QSettings settings(file_, QSettings::IniFormat);
    damaged_ = settings.status() != QSettings::NoError;
}

std::optional<QString> UserDefaults::text(const char* key) const {
    if (damaged_)
        return std::nullopt;
    QSettings settings(file_, QSettings::IniFormat);
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

bool UserDefaults::termsAccepted(const QString& termsVersion) const {
    return text(acceptedTermsVersionKey) == termsVersion;
}

void UserDefaults::acceptTerms(const QString& termsVersion, Date now, const QString& appVersion) {
    // Accepting is the user's explicit choice, so it is stored even over a damaged file.
    QSettings settings(file_, QSettings::IniFormat);
    settings.setValue(acceptedTermsVersionKey, termsVersion);
    settings.setValue(acceptedTermsDateKey, QString::fromStdString(isoDateText(now)));
    settings.setValue(acceptedAppVersionKey, appVersion.isEmpty() ? QString("0") : appVersion);
    settings.sync();
    // QSettings rewrites a damaged file with what it could read of it, plus the new keys.
    damaged_ = QSettings(file_, QSettings::IniFormat).status() != QSettings::NoError;
}

Date UserDefaults::firstLaunchDate(Date now) {
    QSettings settings(file_, QSettings::IniFormat);
    if (damaged_ || settings.contains(firstLaunchDateKey)) {
        if (!damaged_)
            if (auto date =
                    parseIsoDate(settings.value(firstLaunchDateKey).toString().toStdString()))
                return *date;
        return now;
    }
    settings.setValue(firstLaunchDateKey, QString::fromStdString(isoDateText(now)));
    settings.sync();
    return now;
}

} // namespace quorvane
