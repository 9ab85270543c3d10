// Builds the template list database from the schema: lw_make_template schema.sql out.db
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: lw_make_template schema.sql out.db\n");
        return 2;
    }
    QFile schema(QString::fromLocal8Bit(argv[1]));
    if (!schema.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    // Comments are dropped before splitting, so a ";" inside one does not end a statement.
    QString text;
    for (const QString& line : QString::fromUtf8(schema.readAll()).split('\n'))
        if (!line.trimmed().startsWith("--")) text += line + '\n';
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "template");
        db.setDatabaseName(QString::fromLocal8Bit(argv[2]));
        if (!db.open()) {
            std::fprintf(stderr, "cannot create %s\n", argv[2]);
            return 1;
        }
        // One statement per exec: the driver runs only the first of several.
        for (const QString& sql : text.split(';', Qt::SkipEmptyParts)) {
            if (sql.trimmed().isEmpty()) continue;
            QSqlQuery query(db);
            if (!query.exec(sql)) {
                std::fprintf(stderr, "%s\n%s\n", qPrintable(sql), qPrintable(query.lastError().text()));
                ok = false;
                break;
            }
        }
        // Copies start in WAL mode, so no connection has to switch the journal while another
        // one holds a lock (a switch under contention fails with "database is locked").
        if (ok) {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next() ||
                query.value(0).toString() != QStringLiteral("wal")) {
                std::fprintf(stderr, "cannot switch %s to WAL\n", argv[2]);
                ok = false;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("template");
    return ok ? 0 : 1;
}
