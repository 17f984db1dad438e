#include "window/fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QString>

namespace zvq {

void RegisterWindowFonts() {
  if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return;
  // Debian's fonts-wine installs here, where fontconfig does not look.
  for (const char* Path : {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
    const QString File = QString::fromLatin1(Path);
    if (QFile::exists(File)) QFontDatabase::addApplicationFont(File);
  }
}

}  // namespace zvq
