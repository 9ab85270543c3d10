#include "support/TempHome.h"

namespace lw::test {

QString SourceDir() { return QStringLiteral(LW_SOURCE_DIR); }
QString BuildDir() { return QStringLiteral(LW_BUILD_DIR); }
QString TemplateDatabase() { return BuildDir() + QStringLiteral("/src/app/list_org.db"); }

} // namespace lw::test
