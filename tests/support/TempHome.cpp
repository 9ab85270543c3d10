#include "support/TempHome.h"

namespace lw::test {

QString TemplateDatabase()
{
    return QStringLiteral(LW_BUILD_DIR "/src/app/list_org.db");
}

} // namespace lw::test
