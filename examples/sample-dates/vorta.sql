-- Dates the sample Mac's Vorta profile relative to now. Vorta writes local wall-clock time
-- without a zone, so run this with the same TZ as the demo. Run on the copied
-- "Users/ann/Library/Application Support/Vorta/settings.db".
-- Profile "MacBook": runs 27 and 3 hours ago, each with its archive.
UPDATE eventlogmodel SET
    start_time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-27 hours'),
    end_time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-27 hours', '+7 minutes')
WHERE id = 1;
UPDATE eventlogmodel SET
    start_time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-3 hours'),
    end_time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-3 hours', '+5 minutes')
WHERE id = 2;
UPDATE archivemodel SET time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-27 hours', '+1 second')
WHERE id = 1;
UPDATE archivemodel SET time = strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime', '-3 hours', '+1 second')
WHERE id = 2;
