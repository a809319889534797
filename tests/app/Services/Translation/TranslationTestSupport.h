#pragma once

// Shared pieces of the translation tests: segments, a fake API server that
// translates whatever prompt it gets, fake command-line tools, and a keychain
// and settings sandbox.

#include "Models/TranscribedSegment.h"
#include "Models/UuidText.h"
#include "Services/KeychainService.h"
#include "Services/Translation/ProviderEndpoints.h"
#include "Services/Translation/TranslationSettings.h"
#include "support/LoopbackServer.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QSettings>
#include <QString>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace translationtest {

using parlowvista::TranscribedSegment;

inline QList<TranscribedSegment> makeSegments(int count) {
  QList<TranscribedSegment> segments;
  for (int i = 0; i < count; ++i)
    segments.append(TranscribedSegment(i % 2, i * 1.0, i * 1.0 + 0.9, QStringLiteral("segment %1").arg(i)));
  return segments;
}

// The segments of a prompt: the JSON array between "Input:\n" and the blank
// line before "Output (JSON array only):".
inline nlohmann::json promptSegments(const std::string& prompt) {
  const auto start = prompt.find("Input:\n[");
  const auto end = prompt.rfind("]\n\nOutput (JSON array only):");
  if (start == std::string::npos || end == std::string::npos) return nlohmann::json::array();
  return nlohmann::json::parse(prompt.substr(start + 7, end - start - 7 + 1));
}

// A model's reply to a prompt: every segment back, its text prefixed "FR:".
inline std::string translatedArray(const std::string& prompt) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& item : promptSegments(prompt))
    out.push_back({{"id", item["id"]}, {"text", "FR:" + item["text"].get<std::string>()}});
  return out.dump();
}

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
  std::string keyParam;
};

// A fake translation API on 127.0.0.1 that records every request.
class FakeApi {
 public:
  FakeApi() { server.start(); }

  std::vector<RecordedRequest> requests() {
    std::lock_guard lock(mutex);
    return recorded;
  }
  void record(const httplib::Request& request) {
    RecordedRequest r;
    r.method = request.method;
    r.path = request.path;
    r.body = request.body;
    for (const auto& [name, value] : request.headers) {
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.headers[lower] = value;
    }
    if (request.has_param("key")) r.keyParam = request.get_param_value("key");
    std::lock_guard lock(mutex);
    recorded.push_back(r);
  }
  QUrl baseUrl() const { return QUrl(QString::fromStdString(server.baseUrl())); }

  testsupport::LoopbackServer server;
  std::mutex mutex;
  std::vector<RecordedRequest> recorded;
};

// Settings in a private QSettings file and keys under a private keychain
// service, so tests never touch the user's own.
class SettingsSandbox {
 public:
  SettingsSandbox()
      : keychain(QStringLiteral("com.lanternhollow.translation.tests.%1").arg(QCoreApplication::applicationPid())) {
    QSettings().clear();
    QSettings().sync();
  }
  ~SettingsSandbox() {
    for (auto type : parlowvista::allTranslationProviderTypes())
      keychain.remove(parlowvista::KeychainService::apiKeyAccount(type));
  }

  // Whether a Secret Service answers here (the CI starts one).
  bool keychainWorks() {
    const QString probe = QStringLiteral("probe");
    const bool stored = keychain.set(QStringLiteral("x"), probe) && keychain.get(probe) == QStringLiteral("x");
    keychain.remove(probe);
    return stored;
  }

  testsupport::TempDir dir{"pv-translation"};
  // The settings point back where they were before the folder goes.
  testsupport::ScopedSettingsFolder settingsFolder{QString::fromStdString(dir.path().string())};
  parlowvista::KeychainService keychain;
  // The tests' own provider addresses and waits.
  parlowvista::ProviderEndpoints endpoints;
};

#define REQUIRE_KEYCHAIN(sandbox) \
  if (!(sandbox).keychainWorks()) GTEST_SKIP() << "no Secret Service on this session bus"

// A keychain in memory whose writes fail while removals work: the case where
// removing the old item first would lose the key.
class WriteFailingKeychain : public parlowvista::KeychainService {
 public:
  WriteFailingKeychain() : KeychainService(QStringLiteral("unused")) {}
  std::optional<QString> get(const QString& account) const override { return items.value(account); }
  bool set(const QString&, const QString&) const override { return false; }
  bool remove(const QString& account) const override {
    items.remove(account);
    return true;
  }
  bool exists(const QString& account) const override { return items.contains(account); }
  mutable QHash<QString, QString> items;
};

// Whether the process `pid` runs. A killed orphan stays a zombie until init reaps it; that
// counts as gone.
inline bool processAlive(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// Fake command-line tools: executables in a private folder put first on PATH,
// with HOME moved to a private folder so the fixed install folders under the
// home folder stay empty.
class ToolSandbox {
 public:
  ToolSandbox() : oldPath(qgetenv("PATH")), oldHome(qgetenv("HOME")) {
    std::filesystem::create_directories(dir.path() / "bin");
    std::filesystem::create_directories(dir.path() / "home");
    qputenv("PATH", QByteArray::fromStdString((dir.path() / "bin").string()) + ":" + oldPath);
    qputenv("HOME", QByteArray::fromStdString((dir.path() / "home").string()));
  }
  ~ToolSandbox() {
    qputenv("PATH", oldPath);
    qputenv("HOME", oldHome);
  }

  // Writes an executable script and returns its path.
  QString addTool(const std::filesystem::path& path, const std::string& script) {
    testsupport::writeFile(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
    return QString::fromStdString(path.string());
  }
  QString addToolOnPath(const std::string& name, const std::string& script) {
    return addTool(dir.path() / "bin" / name, script);
  }

  // A tool that translates its last argument and writes its arguments, one per
  // line as JSON, to "<name>.args" beside it.
  static std::string answeringTool() {
    return R"(#!/usr/bin/python3
import json, sys, os
with open(os.path.abspath(sys.argv[0]) + ".args", "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\n")
prompt = sys.argv[-1]
start = prompt.find("Input:\n[")
end = prompt.rfind("]\n\nOutput (JSON array only):")
items = json.loads(prompt[start + 7:end + 1])
print("Here you go:\n```json")
print(json.dumps([{"id": i["id"], "text": "FR:" + i["text"]} for i in items], ensure_ascii=False))
print("```")
)";
  }

  testsupport::TempDir dir{"pv-tools"};
  QByteArray oldPath;
  QByteArray oldHome;
};

}  // namespace translationtest
