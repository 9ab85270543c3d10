-- The list database: sender rules, receipt history, attachment history, imported address book.
-- Yes/no columns hold 0 or 1 and are never null; a new row starts with all of them 0.
-- 受信日 is local date-time text "yyyy-MM-ddTHH:mm:ss", so that text order is time order for
-- comparisons and ORDER BY; null means the row has no received date (never purged).
-- Address and file-name columns compare with COLLATE NOCASE: equality ignores ASCII letter case.
-- Other letters (Ö/ö, Д/д) are stored as written; the sender lookups match them by case variants
-- of the looked-up address, so writers need not fold the case of what they store.

CREATE TABLE tblList (
    アドレス        TEXT NOT NULL COLLATE NOCASE,
    名前            TEXT DEFAULT '',
    印刷            INTEGER NOT NULL DEFAULT 0 CHECK (印刷 IN (0, 1)),
    メール保存      INTEGER NOT NULL DEFAULT 0 CHECK (メール保存 IN (0, 1)),
    ボックスクリア  INTEGER NOT NULL DEFAULT 0 CHECK (ボックスクリア IN (0, 1)),
    ログ出力        INTEGER NOT NULL DEFAULT 0 CHECK (ログ出力 IN (0, 1)),
    受信拒否        INTEGER NOT NULL DEFAULT 0 CHECK (受信拒否 IN (0, 1)),
    メール転送      INTEGER NOT NULL DEFAULT 0 CHECK (メール転送 IN (0, 1)),
    転送先TO        TEXT DEFAULT '',
    転送先CC        TEXT DEFAULT '',
    転送先BCC       TEXT DEFAULT '',
    CONSTRAINT PrimaryKey PRIMARY KEY (アドレス)
);

CREATE TABLE tblHistory (
    保存ファイルID      TEXT NOT NULL COLLATE NOCASE,
    保存ファイルパス    TEXT DEFAULT '',
    件名                TEXT DEFAULT '',
    送信アドレス        TEXT DEFAULT '' COLLATE NOCASE,
    送信アドレス名      TEXT DEFAULT '',
    受信アドレス        TEXT DEFAULT '' COLLATE NOCASE,
    受信アドレス名      TEXT DEFAULT '',
    受信日              TEXT CHECK (受信日 IS NULL OR 受信日 GLOB
                            '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]'),
    ファイル数          INTEGER NOT NULL DEFAULT 0,
    印刷                INTEGER NOT NULL DEFAULT 0 CHECK (印刷 IN (0, 1)),
    メール保存          INTEGER NOT NULL DEFAULT 0 CHECK (メール保存 IN (0, 1)),
    メール保存先パス    TEXT DEFAULT '',
    ボックスクリア      INTEGER NOT NULL DEFAULT 0 CHECK (ボックスクリア IN (0, 1)),
    ログ出力            INTEGER NOT NULL DEFAULT 0 CHECK (ログ出力 IN (0, 1)),
    受信拒否            INTEGER NOT NULL DEFAULT 0 CHECK (受信拒否 IN (0, 1)),
    メール転送          INTEGER NOT NULL DEFAULT 0 CHECK (メール転送 IN (0, 1)),
    コマンド            INTEGER NOT NULL DEFAULT 0 CHECK (コマンド IN (0, 1))
);
-- Find-or-add keeps one row per message ID; the unique index makes that hold under any writer.
CREATE UNIQUE INDEX idxHistoryFileId ON tblHistory (保存ファイルID);
CREATE INDEX idxHistoryReceived ON tblHistory (受信日);
CREATE INDEX idxHistorySender ON tblHistory (送信アドレス);
-- The purge looks only at unsaved rows; saved ones pile up below its cutoff.
CREATE INDEX idxHistoryUnsaved ON tblHistory (受信日) WHERE メール保存 = 0;

CREATE TABLE tblHistoryFiles (
    保存ファイルID          TEXT NOT NULL COLLATE NOCASE,
    添付ファイル名          TEXT NOT NULL COLLATE NOCASE,
    添付ファイル名パス      TEXT DEFAULT '',
    添付ファイル保存先パス  TEXT DEFAULT ''
);
CREATE UNIQUE INDEX idxHistoryFilesKey ON tblHistoryFiles (保存ファイルID, 添付ファイル名);

CREATE TABLE tblAdrbook (
    電子メールアドレス  TEXT DEFAULT '' COLLATE NOCASE,
    表示名              TEXT DEFAULT ''
);
CREATE INDEX idxAdrbookAddress ON tblAdrbook (電子メールアドレス);
