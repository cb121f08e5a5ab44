#include "app/qttranslations.h"

#include "core/util.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace Orv {

bool installQtTranslations()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    const QStringList folders = {QCoreApplication::applicationDirPath(),
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QString &folder : folders) {
        if (translator->load(QStringLiteral("qtbase_ru"), folder))
            return QCoreApplication::installTranslator(translator);
    }
    delete translator;
    logMessage(Warn, QStringLiteral("переводы Qt (qtbase_ru.qm) не найдены: сообщения Qt будут "
                                    "по-английски"));
    return false;
}

} // namespace Orv
