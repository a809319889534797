#include "Models/FileBookmark.h"

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>

namespace parlowvista {

namespace {

constexpr const char* kFormat = "parlowvista.bookmark";

struct Identity {
  quint64 device = 0;
  quint64 inode = 0;
  bool operator==(const Identity&) const = default;
};

// What a rename keeps besides the inode. Inode numbers are handed out again at once after a
// file is deleted, so a new file in the same folder may carry the old file's number; its size
// and modification time tell it apart.
struct Fingerprint {
  qint64 size = 0;
  qint64 modifiedNs = 0;
  bool operator==(const Fingerprint&) const = default;
};

std::optional<Identity> identityOf(const QString& path, int* errorNumber = nullptr,
                                   Fingerprint* fingerprint = nullptr) {
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
    if (errorNumber) *errorNumber = errno;
    return std::nullopt;
  }
  if (fingerprint)
    *fingerprint = {qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec)};
  return Identity{quint64(info.st_dev), quint64(info.st_ino)};
}

void setError(QString* error, const QString& text) {
  if (error) *error = text;
}

}  // namespace

std::optional<QByteArray> FileBookmark::create(const QString& path, QString* error) {
  const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
  int errorNumber = 0;
  Fingerprint fingerprint;
  const auto identity = identityOf(absolute, &errorNumber, &fingerprint);
  if (!identity) {
    setError(error, errorNumber == ENOENT ? QStringLiteral("The file doesn't exist.")
                                          : QString::fromLocal8Bit(std::strerror(errorNumber)));
    return std::nullopt;
  }
  const nlohmann::json record{{"format", kFormat},
                              {"version", 1},
                              {"path", absolute.toStdString()},
                              {"device", identity->device},
                              {"inode", identity->inode},
                              {"size", fingerprint.size},
                              {"modifiedNs", fingerprint.modifiedNs}};
  return QByteArray::fromStdString(record.dump());
}

std::optional<FileBookmark::Resolution> FileBookmark::resolve(const QByteArray& data, QString* error) {
  QString path;
  Identity recorded;
  std::optional<Fingerprint> recordedFingerprint;  // absent in records of earlier builds
  try {
    const auto record = nlohmann::json::parse(data.toStdString());
    if (record.at("format").get<std::string>() != kFormat) throw std::invalid_argument("format");
    path = QString::fromStdString(record.at("path").get<std::string>());
    recorded = {record.at("device").get<quint64>(), record.at("inode").get<quint64>()};
    if (record.contains("size") && record.contains("modifiedNs"))
      recordedFingerprint = Fingerprint{record.at("size").get<qint64>(), record.at("modifiedNs").get<qint64>()};
  } catch (const std::exception&) {
    setError(error, QStringLiteral("The bookmark data is corrupted."));
    return std::nullopt;
  }
  if (path.isEmpty() || !QDir::isAbsolutePath(path)) {
    setError(error, QStringLiteral("The bookmark data is corrupted."));
    return std::nullopt;
  }

  Fingerprint atPath;
  if (const auto current = identityOf(path, nullptr, &atPath)) {
    // A file changed in place keeps its inode; renewing the record keeps it findable after a
    // later rename.
    const bool stale = !(*current == recorded) || (recordedFingerprint && !(*recordedFingerprint == atPath));
    return Resolution{path, stale};
  }

  // Gone from its path: look for the same file under another name in the same folder.
  const QFileInfo original(path);
  const QDir folder = original.absoluteDir();
  const auto entries = folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QFileInfo& entry : entries) {
    Fingerprint fingerprint;
    const auto identity = identityOf(entry.absoluteFilePath(), nullptr, &fingerprint);
    if (identity && *identity == recorded && (!recordedFingerprint || *recordedFingerprint == fingerprint))
      return Resolution{entry.absoluteFilePath(), true};
  }
  setError(error, QStringLiteral("The file doesn't exist."));
  return std::nullopt;
}

}  // namespace parlowvista
