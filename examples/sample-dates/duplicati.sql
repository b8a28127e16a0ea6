-- Dates the sample Mac's Duplicati jobs relative to now (Duplicati writes UTC, compact form).
-- Run on the copied "Users/ann/Library/Application Support/Duplicati/Duplicati-server.sqlite".
-- Documents to B2: finished 6 hours ago. Photos to NAS: last good 9 days ago, failing since
-- yesterday.
UPDATE "Metadata" SET "Value" = CASE "Name"
    WHEN 'LastBackupDate' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-6 hours', '-7 minutes')
    WHEN 'LastBackupStarted' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-6 hours', '-7 minutes')
    WHEN 'LastBackupFinished' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-6 hours')
    ELSE "Value" END
WHERE "BackupID" = 1;
UPDATE "Metadata" SET "Value" = CASE "Name"
    WHEN 'LastBackupDate' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-9 days', '-49 minutes')
    WHEN 'LastBackupStarted' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-9 days', '-49 minutes')
    WHEN 'LastBackupFinished' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-9 days')
    WHEN 'LastErrorDate' THEN strftime('%Y%m%dT%H%M%SZ', 'now', '-1 day')
    ELSE "Value" END
WHERE "BackupID" = 2;
