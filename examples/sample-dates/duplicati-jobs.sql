-- The sample Mac's Duplicati jobs. The database was made with
--   sqlite3 "examples/sample-mac/Users/ann/Library/Application Support/Duplicati/Duplicati-server.sqlite" \
--     < tests/fixtures/duplicati/schema-new.sql < examples/sample-dates/duplicati-jobs.sql
-- (one after the other); duplicati.sql moves its dates next to the demo's start.
-- 1: "Documents to B2", healthy.
-- 2: "Photos to NAS", failing since yesterday; Duplicati keeps the earlier good run's dates.
INSERT INTO "Backup" ("Name", "Description", "Tags", "TargetURL", "DBPath") VALUES
    ('Documents to B2', 'Documents and Desktop, nightly', '',
     'b2://ann-mac-backup/documents?auth-username=0012ab34cd56ef', '/Users/ann/.config/Duplicati/QZXWVUTSRP.sqlite'),
    ('Photos to NAS', '', 'photos',
     'ssh://nas.local:22/volume1/backup/photos?auth-username=ann', '/Users/ann/.config/Duplicati/LKJHGFDSAM.sqlite');
INSERT INTO "Source" ("BackupID", "Path") VALUES
    (1, '/Users/ann/Documents/'), (1, '/Users/ann/Desktop/'), (2, '/Users/ann/Pictures/');
INSERT INTO "Option" ("BackupID", "Filter", "Name", "Value") VALUES
    (1, '', 'encryption-module', 'aes'), (1, '', 'compression-module', 'zip'),
    (2, '', 'encryption-module', 'aes'), (2, '', 'keep-versions', '30');
INSERT INTO "Metadata" ("BackupID", "Name", "Value") VALUES
    (1, 'LastBackupDate', '20250301T020000Z'),
    (1, 'BackupListCount', '58'),
    (1, 'TargetFilesSize', '2147483648'),
    (1, 'TargetFilesCount', '84'),
    (1, 'TargetSizeString', '2 GB'),
    (1, 'SourceFilesSize', '3221225472'),
    (1, 'SourceFilesCount', '5120'),
    (1, 'SourceSizeString', '3 GB'),
    (1, 'LastBackupStarted', '20250301T020000Z'),
    (1, 'LastBackupFinished', '20250301T020642Z'),
    (1, 'LastBackupDuration', '00:06:42.1730000'),
    (2, 'LastBackupDate', '20250220T030000Z'),
    (2, 'BackupListCount', '30'),
    (2, 'TargetSizeString', '48 GB'),
    (2, 'LastBackupStarted', '20250220T030000Z'),
    (2, 'LastBackupFinished', '20250220T034815Z'),
    (2, 'LastErrorDate', '20250228T030012Z'),
    (2, 'LastErrorMessage', 'Failed to connect: The remote server did not respond (timeout)');
