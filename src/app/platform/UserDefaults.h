#pragma once

#include "base/Date.h"

#include <QSettings>
#include <QString>

#include <optional>

namespace quorvane {

// The terms-of-use keys, kept in the user defaults.
inline constexpr const char* acceptedTermsVersionKey = "quorvane.backup.acceptedTermsVersion";
inline constexpr const char* acceptedTermsDateKey = "quorvane.backup.acceptedTermsDate";
inline constexpr const char* acceptedAppVersionKey = "quorvane.backup.acceptedAppVersion";
// When the program first ran on this account; the start of monitoring.
inline constexpr const char* firstLaunchDateKey = "quorvane.backup.firstLaunchDate";

// The user defaults: an INI file through QSettings, by default
// "$XDG_CONFIG_HOME/Quorvane/Quorvane Ombrel.conf".
class UserDefaults {
public:
    // The file QSettings uses for organisation "Quorvane", application "Quorvane Ombrel".
    static QString defaultFile();

    explicit UserDefaults(const QString& file = defaultFile());

    // True when the file exists but QSettings could not make sense of it. Such a file reads as
    // holding nothing and is not written by start-up, so nothing in it is lost to a rewrite.
    bool damaged() const { return damaged_; }

    std::optional<QString> text(const char* key) const;

    // Whether the terms of `termsVersion` were accepted.
    bool termsAccepted(const QString& termsVersion) const;
    // Records acceptance of `termsVersion` at `now` by application version `appVersion`.
    void acceptTerms(const QString& termsVersion, Date now, const QString& appVersion);

    // The first-launch date, stored at `now` when none is stored yet. Once any value is stored
    // it is never written again; a value that is not a date reads as `now`.
    Date firstLaunchDate(Date now);

private:
    QString file_;
    bool damaged_ = false;
};

} // namespace quorvane
