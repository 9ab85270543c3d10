-- The list database: sender rules, receipt history, attachment history, imported address book.
-- Yes/no columns hold 0 or 1; 受信日 is ISO local date-time text so that comparison and ORDER BY work.

CREATE TABLE tblList (
    アドレス        TEXT NOT NULL COLLATE NOCASE,
    名前            TEXT DEFAULT '',
    印刷            INTEGER NOT NULL DEFAULT 0,
    メール保存      INTEGER NOT NULL DEFAULT 0,
    ボックスクリア  INTEGER NOT NULL DEFAULT 0,
    ログ出力        INTEGER NOT NULL DEFAULT 0,
    受信拒否        INTEGER NOT NULL DEFAULT 0,
    メール転送      INTEGER NOT NULL DEFAULT 0,
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
    受信日              TEXT,
    ファイル数          INTEGER DEFAULT 0,
    印刷                INTEGER NOT NULL DEFAULT 0,
    メール保存          INTEGER NOT NULL DEFAULT 0,
    メール保存先パス    TEXT DEFAULT '',
    ボックスクリア      INTEGER NOT NULL DEFAULT 0,
    ログ出力            INTEGER NOT NULL DEFAULT 0,
    受信拒否            INTEGER NOT NULL DEFAULT 0,
    メール転送          INTEGER NOT NULL DEFAULT 0,
    コマンド            INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX idxHistoryFileId ON tblHistory (保存ファイルID);
CREATE INDEX idxHistoryReceived ON tblHistory (受信日);

CREATE TABLE tblHistoryFiles (
    保存ファイルID          TEXT NOT NULL COLLATE NOCASE,
    添付ファイル名          TEXT NOT NULL COLLATE NOCASE,
    添付ファイル名パス      TEXT DEFAULT '',
    添付ファイル保存先パス  TEXT DEFAULT ''
);
CREATE INDEX idxHistoryFilesKey ON tblHistoryFiles (保存ファイルID, 添付ファイル名);

CREATE TABLE tblAdrbook (
    電子メールアドレス  TEXT DEFAULT '' COLLATE NOCASE,
    表示名              TEXT DEFAULT ''
);
CREATE INDEX idxAdrbookAddress ON tblAdrbook (電子メールアドレス);
