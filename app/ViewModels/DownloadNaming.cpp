#include "ViewModels/DownloadNaming.h"

#include "Models/TextGraphemes.h"

#include <QDir>
#include <QFileInfo>

namespace parlowvista::downloadnaming {

QString safeTitle(const QString& title) {
  QString text;
  text.reserve(title.size());
  for (const QChar c : title) {
    if (c == '/' || c == ':') {
      text += '-';
    } else if (c == '"') {
      text += '\'';
    } else if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
      continue;
    } else {
      text += c;
    }
  }
  text = text.trimmed();
  if (text.toUtf8().size() > kMaxTitleBytes) {
    const QList<qsizetype> boundaries = graphemeBoundaries(text);
    qsizetype cut = 0;
    for (qsizetype boundary : boundaries) {
      if (text.left(boundary).toUtf8().size() > kMaxTitleBytes) break;
      cut = boundary;
    }
    text = text.left(cut).trimmed();
  }
  if (text.isEmpty() || text == "." || text == "..") return kFallbackTitle;
  return text;
}

QString uniqueDownloadPath(const QString& folder, const QString& safeTitle, const QString& extension) {
  const QDir dir(folder);
  QString path = dir.filePath(safeTitle + "." + extension);
  for (int n = 1; QFileInfo::exists(path); ++n) {
    path = dir.filePath(QString("%1 (%2).%3").arg(safeTitle).arg(n).arg(extension));
  }
  return path;
}

}  // namespace parlowvista::downloadnaming
