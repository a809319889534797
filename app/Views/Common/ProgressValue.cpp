#include "Views/Common/ProgressValue.h"

#include <QProgressBar>

namespace parlowvista {

void setProgressValue(QProgressBar* bar, int value) {
  // With updates off (a hidden parent, say) the bar paints nothing at once anyway, and turning
  // them off and on here would keep them off for good.
  if (bar->value() == value || !bar->updatesEnabled()) return bar->setValue(value);
  bar->setUpdatesEnabled(false);
  bar->setValue(value);
  // Turning updates on again schedules the bar's paint.
  bar->setUpdatesEnabled(true);
}

}  // namespace parlowvista
