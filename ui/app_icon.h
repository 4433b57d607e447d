#pragma once
// The program's icon, every size it is drawn in (res/icons/).

#include <QIcon>

namespace torv2::ui {

QIcon AppIcon();

}  // namespace torv2::ui
