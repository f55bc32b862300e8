// File primitives of CControler over the installation. They forward to the
// file applier, which keeps every file whole while it is replaced.

#include "app/ccontroler.h"

#include "fileops/cfileapplier.h"

bool CControler::backupDirectory(const QString &newFilesDir, const QString &installedDir, const QString &backupDir)
{
    return CFileApplier::backupTree(newFilesDir, installedDir, backupDir);
}

bool CControler::backupSpecialFiles()
{
    return CFileApplier::backupSpecialFiles(appDirPath, backupDirPath);
}

bool CControler::copyDirectory(const QString &src, const QString &dst)
{
    return CFileApplier::copyDirectory(src, dst);
}

bool CControler::copyFile(const QString &src, const QString &dst)
{
    return CFileApplier::copyFile(src, dst);
}

bool CControler::replaceSpecialFiles()
{
    return CFileApplier::replaceSpecialFiles(appDirPath);
}
