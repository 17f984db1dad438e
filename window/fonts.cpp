#include "window/fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QString>

namespace zvq {

void RegisterWindowFonts() {
  if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return;
  // Debian's fonts-wine installs it here, where fontconfig does not look. Only the regular face: the window
  // draws no bold text, and every face registered is read and parsed before the first paint.
  const QString File = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
  if (QFile::exists(File)) QFontDatabase::addApplicationFont(File);
}

}  // namespace zvq
