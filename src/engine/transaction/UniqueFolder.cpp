#include "UniqueFolder.h"

#include "TransactionConstants.h"

#include <QDebug>

using namespace transaction;

QString createUniqueFolder(const QString &base,
                           const std::function<platform::FolderCreation(const std::string &path)> &create,
                           const UniqueFolderTexts &texts)
{
    for (int attempt = 0; attempt <= MaximumFolderNameSuffix; ++attempt) {
        const QString candidate =
            attempt == 0 ? base : base + FolderNameSuffixSeparator + QString::number(attempt);
        switch (create(candidate.toUtf8().toStdString())) {
        case platform::FolderCreation::Created:
            return candidate;
        case platform::FolderCreation::NameTaken:
            qWarning().noquote() << texts.nameTaken << candidate;
            break;
        case platform::FolderCreation::Failed:
            qCritical().noquote() << texts.failed << candidate;
            return QString();
        }
    }
    qCritical().noquote() << texts.failed << "名称均已被占用" << base;
    return QString();
}
