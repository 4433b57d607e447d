#include "ui/app_icon.h"

#include <QString>

namespace torv2::ui {

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/torv2-upgrader-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace torv2::ui
