#pragma once

#include <QString>

namespace parlowvista {

// File names for downloaded online-video audio. Pure, except uniqueDownloadPath, which
// looks at the folder.
namespace downloadnaming {

// The most UTF-8 bytes a safe title keeps (file names stop at 255 bytes, and room is left
// for " (n)" and the extension).
constexpr int kMaxTitleBytes = 200;
// The name used when nothing of a title survives.
inline constexpr const char* kFallbackTitle = "Download";

// "/" and ":" become "-", a double quote an apostrophe, control characters (line breaks
// included) are dropped, white space is trimmed; the text is cut at a character boundary to
// kMaxTitleBytes; an empty result, "." or ".." becomes the fallback name.
QString safeTitle(const QString& title);

// folder/<title>.<extension>, or folder/<title> (n).<extension> with the first free n from
// 1. The extension may be empty (the name then ends in a dot).
QString uniqueDownloadPath(const QString& folder, const QString& safeTitle, const QString& extension);

}  // namespace downloadnaming

}  // namespace parlowvista
