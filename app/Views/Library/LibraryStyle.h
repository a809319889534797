#pragma once

#include "Views/Common/Theme.h"

namespace parlowvista {

// The library's colours are the shared theme's (Theme); this name stays for the relocate sheet,
// which still asks for them here.
struct LibraryStyle {
  static QColor secondaryText(const QPalette& palette) { return Theme::color(ThemeColor::secondaryText, palette); }
  static QColor warning(const QPalette& palette) { return Theme::color(ThemeColor::warning, palette); }
};

}  // namespace parlowvista
