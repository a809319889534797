#include "Views/Translation/TranslationSettingsView.h"

#include "Services/Translation/TranslationService.h"
#include "Views/Common/ColorContrast.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "support/QtWait.h"
#include "support/QtWindowAudit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace parlowvista;
using namespace translationtest;

namespace {

QAbstractButton* buttonWithText(QWidget& view, const QString& text) {
  for (QAbstractButton* b : view.findChildren<QAbstractButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

class TranslationSettingsViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = std::make_unique<TranslationSettings>(sandbox.keychain);
    service = std::make_unique<TranslationService>(*settings, sandbox.endpoints);
  }
  std::unique_ptr<TranslationSettingsView> open() {
    auto view = std::make_unique<TranslationSettingsView>(*settings, *service);
    view->setUrlOpener([this](const QUrl& url) { opened << url; });
    view->show();
    return view;
  }
  QComboBox* modelPicker(QWidget& view) { return view.findChildren<QComboBox*>().at(0); }
  QComboBox* languagePicker(QWidget& view) { return view.findChildren<QComboBox*>().at(1); }
  QLineEdit* keyField(QWidget& view) {
    for (QLineEdit* e : view.findChildren<QLineEdit*>())
      if (e->placeholderText() == QStringLiteral("Enter API Key")) return e;
    return nullptr;
  }
  QString badge(QWidget& view) {
    auto* label = view.findChild<QLabel*>(QStringLiteral("testResultBadge"));
    return label->isVisible() ? label->text() : QString();
  }

  SettingsSandbox sandbox;
  ToolSandbox tools;
  std::unique_ptr<TranslationSettings> settings;
  std::unique_ptr<TranslationService> service;
  QList<QUrl> opened;
};

TEST_F(TranslationSettingsViewTest, OpensOnTheDefaults) {
  if (settings->detectCliPath(TranslationProviderType::claude)) GTEST_SKIP() << "a real claude tool is installed";
  auto view = open();
  EXPECT_EQ(view->windowTitle(), QStringLiteral("Translation Settings"));
  EXPECT_TRUE(buttonWithText(*view, "Claude")->isChecked());
  EXPECT_TRUE(buttonWithText(*view, "CLI")->isChecked());
  EXPECT_EQ(modelPicker(*view)->currentText(), QStringLiteral("3-haiku-20240307"));
  EXPECT_EQ(modelPicker(*view)->currentData().toString(), QStringLiteral("claude-3-haiku-20240307"));
  EXPECT_EQ(languagePicker(*view)->currentData().toString(), QStringLiteral("en"));
  EXPECT_EQ(languagePicker(*view)->currentText(), QStringLiteral("English"));
  EXPECT_EQ(languagePicker(*view)->itemText(1), QStringLiteral("Polish (Polski)"));
  EXPECT_EQ(view->findChild<QSpinBox*>()->text(), QStringLiteral("10 segments"));
  EXPECT_TRUE(view->findChild<QCheckBox*>()->isChecked());
  EXPECT_TRUE(
      view->findChild<QLabel*>(QStringLiteral("cliStatus"))->text().endsWith(QStringLiteral("claude not found")));
  EXPECT_EQ(view->findChild<QLabel*>(QStringLiteral("installCommand"))->text(),
            QStringLiteral("npm i -g @anthropic-ai/claude-code"));
  EXPECT_EQ(view->findChild<QLabel*>(QStringLiteral("costHint"))->text(), QStringLiteral("≈ $0.02 per hour of audio"));
  // Opening the window stores the model the settings hold.
  EXPECT_EQ(QSettings().value("translation.selectedModel").toString(), QStringLiteral("claude-3-haiku-20240307"));
}

TEST_F(TranslationSettingsViewTest, TheToolIsLookedForAgainWhenTheUserComesBackToTheWindow) {
  settings->setSelectedProvider(TranslationProviderType::gemini);
  if (settings->detectCliPath(TranslationProviderType::gemini)) GTEST_SKIP() << "a real gemini tool is installed";
  auto view = open();
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  auto* status = view->findChild<QLabel*>(QStringLiteral("cliStatus"));
  EXPECT_TRUE(status->text().endsWith(QStringLiteral("gemini not found")));
  // The user installs the tool in a terminal and comes back, the window still open.
  QWidget terminal;
  terminal.show();
  terminal.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&terminal));
  const QString path = tools.addToolOnPath("gemini", "#!/bin/sh\n");
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_TRUE(status->text().endsWith(QStringLiteral("Found: ") + path)) << status->text().toStdString();
  EXPECT_FALSE(view->findChild<QLabel*>(QStringLiteral("installCommand"))->isVisible());
}

TEST_F(TranslationSettingsViewTest, StoredOpenAIModelIsShownUnchanged) {
  settings->setSelectedProvider(TranslationProviderType::openai);
  settings->setSelectedModel(QStringLiteral("gpt-4o"));
  auto view = open();
  EXPECT_TRUE(buttonWithText(*view, "OpenAI")->isChecked());
  EXPECT_EQ(view->selectedModel(), QStringLiteral("gpt-4o"));
  EXPECT_EQ(modelPicker(*view)->currentText(), QStringLiteral("4o"));
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gpt-4o"));
}

TEST_F(TranslationSettingsViewTest, AnyModelNameCanBeTyped) {
  settings->setSelectedProvider(TranslationProviderType::gemini);
  auto view = open();
  QComboBox* picker = modelPicker(*view);
  ASSERT_TRUE(picker->isEditable());
  picker->setEditText(QStringLiteral("gemini-2.5-flash"));
  emit picker->lineEdit()->editingFinished();
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gemini-2.5-flash"));
  // A suggestion's short label still stands for its full name.
  picker->setEditText(QStringLiteral("1.5-pro"));
  emit picker->lineEdit()->editingFinished();
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gemini-1.5-pro"));

  settings->setSelectedModel(QStringLiteral("gemini-2.5-pro"));
  view = open();
  EXPECT_EQ(modelPicker(*view)->currentText(), QStringLiteral("gemini-2.5-pro"));
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gemini-2.5-pro"));
}

TEST_F(TranslationSettingsViewTest, SwitchingProviderCorrectsModelAndReloadsKey) {
  REQUIRE_KEYCHAIN(sandbox);
  ASSERT_TRUE(sandbox.keychain.setAPIKey(QStringLiteral("gem-key"), TranslationProviderType::gemini));
  settings->setConnectionMode(TranslationConnectionMode::api);
  settings->setSelectedModel(QStringLiteral("claude-3-5-sonnet-20241022"));
  auto view = open();
  EXPECT_EQ(keyField(*view)->text(), QString());
  keyField(*view)->setText(QStringLiteral("typed"));
  QTest::mouseClick(buttonWithText(*view, "Save"), Qt::LeftButton);
  EXPECT_EQ(badge(*view), QStringLiteral("Saved"));

  QTest::mouseClick(buttonWithText(*view, "Gemini"), Qt::LeftButton);
  EXPECT_EQ(settings->selectedProvider(), TranslationProviderType::gemini);
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gemini-1.5-flash"));
  EXPECT_EQ(modelPicker(*view)->currentText(), QStringLiteral("1.5-flash"));
  EXPECT_EQ(keyField(*view)->text(), QStringLiteral("gem-key"));
  EXPECT_EQ(badge(*view), QString());
  EXPECT_EQ(view->findChild<QLabel*>(QStringLiteral("costHint"))->text(), QStringLiteral("≈ $0.00 per hour of audio"));

  // Picking another model writes it through.
  modelPicker(*view)->setCurrentIndex(1);
  emit modelPicker(*view)->activated(1);
  EXPECT_EQ(settings->selectedModel(), QStringLiteral("gemini-1.5-pro"));
}

TEST_F(TranslationSettingsViewTest, SaveAndTestAKey) {
  REQUIRE_KEYCHAIN(sandbox);
  settings->setConnectionMode(TranslationConnectionMode::api);
  auto view = open();
  auto* save = buttonWithText(*view, "Save");
  auto* test = buttonWithText(*view, "Test");
  EXPECT_FALSE(save->isEnabled());
  EXPECT_FALSE(test->isEnabled());

  // Test checks what is stored, not what is typed.
  keyField(*view)->setText(QStringLiteral(" sk ant "));
  EXPECT_TRUE(save->isEnabled());
  EXPECT_TRUE(test->isEnabled());
  QTest::mouseClick(test, Qt::LeftButton);
  EXPECT_TRUE(view->isTestingConnection());
  ASSERT_TRUE(testsupport::waitUntil([&] { return view->testResult().has_value(); }));
  EXPECT_EQ(badge(*view), QStringLiteral("Failed"));
  EXPECT_FALSE(view->isTestingConnection());

  QTest::mouseClick(save, Qt::LeftButton);
  EXPECT_EQ(badge(*view), QStringLiteral("Saved"));
  EXPECT_EQ(sandbox.keychain.get(QStringLiteral("apiKey.Claude (Anthropic)")), QStringLiteral(" sk ant "));

  QTest::mouseClick(test, Qt::LeftButton);
  EXPECT_EQ(badge(*view), QString());
  ASSERT_TRUE(testsupport::waitUntil([&] { return view->testResult().has_value(); }));
  EXPECT_EQ(badge(*view), QStringLiteral("OK"));

  // Empty field with a stored key: Save off, Test on. Nothing here removes the key.
  keyField(*view)->clear();
  EXPECT_FALSE(save->isEnabled());
  EXPECT_TRUE(test->isEnabled());
  EXPECT_TRUE(sandbox.keychain.exists(QStringLiteral("apiKey.Claude (Anthropic)")));

  // Switching the mode keeps the badge.
  QTest::mouseClick(buttonWithText(*view, "CLI"), Qt::LeftButton);
  EXPECT_EQ(settings->connectionMode(), TranslationConnectionMode::cli);
  EXPECT_EQ(view->testResult()->text, QStringLiteral("OK"));
  EXPECT_EQ(view->findChild<QStackedWidget*>()->currentIndex(), 1);
  QTest::mouseClick(buttonWithText(*view, "API"), Qt::LeftButton);
  EXPECT_EQ(view->findChild<QStackedWidget*>()->currentIndex(), 0);
}

TEST_F(TranslationSettingsViewTest, FailedSaveSaysSoAndKeepsTheOldKey) {
  WriteFailingKeychain keychain;
  keychain.items.insert(QStringLiteral("apiKey.Claude (Anthropic)"), QStringLiteral("old"));
  TranslationSettings failingSettings(keychain);
  failingSettings.setConnectionMode(TranslationConnectionMode::api);
  TranslationService failingService(failingSettings, sandbox.endpoints);
  TranslationSettingsView view(failingSettings, failingService);
  view.show();
  EXPECT_EQ(keyField(view)->text(), QStringLiteral("old"));
  keyField(view)->setText(QStringLiteral("new"));
  QTest::mouseClick(buttonWithText(view, "Save"), Qt::LeftButton);
  ASSERT_TRUE(view.testResult().has_value());
  EXPECT_FALSE(view.testResult()->success);
  EXPECT_EQ(badge(view), QStringLiteral("Failed"));
  EXPECT_EQ(keychain.items.value(QStringLiteral("apiKey.Claude (Anthropic)")), QStringLiteral("old"));
}

TEST_F(TranslationSettingsViewTest, OptionsAreWrittenThrough) {
  auto view = open();
  auto* stepper = view->findChild<QSpinBox*>();
  EXPECT_EQ(stepper->minimum(), 5);
  EXPECT_EQ(stepper->maximum(), 50);
  stepper->stepBy(1);
  EXPECT_EQ(settings->batchSize(), 15);
  stepper->stepBy(-2);
  EXPECT_EQ(settings->batchSize(), 5);
  stepper->stepBy(-1);
  EXPECT_EQ(settings->batchSize(), 5);
  stepper->stepBy(20);
  EXPECT_EQ(settings->batchSize(), 50);
  EXPECT_EQ(stepper->text(), QStringLiteral("50 segments"));

  QTest::mouseClick(view->findChild<QCheckBox*>(), Qt::LeftButton);
  EXPECT_FALSE(settings->preserveFormatting());

  auto* languages = languagePicker(*view);
  const int german = languages->findData(QStringLiteral("de"));
  languages->setCurrentIndex(german);
  emit languages->activated(german);
  EXPECT_EQ(settings->defaultTargetLanguage(), QStringLiteral("de"));
  EXPECT_EQ(QSettings().value("translation.defaultTargetLanguage").toString(), QStringLiteral("de"));

  // Showing the window again reloads from the settings.
  settings->setBatchSize(30);
  view->hide();
  view->show();
  EXPECT_EQ(view->batchSize(), 30);
  EXPECT_EQ(stepper->value(), 30);
}

TEST_F(TranslationSettingsViewTest, GetKeyOpensTheProvidersPage) {
  settings->setConnectionMode(TranslationConnectionMode::api);
  auto view = open();
  auto* link = view->findChild<QToolButton*>(QStringLiteral("getKeyLink"));
  ASSERT_NE(link, nullptr);
  QTest::mouseClick(link, Qt::LeftButton);
  QTest::mouseClick(buttonWithText(*view, "OpenAI"), Qt::LeftButton);
  // From the keyboard too.
  link->setFocus();
  QTest::keyClick(link, Qt::Key_Space);
  ASSERT_EQ(opened.size(), 2);
  EXPECT_EQ(opened[0].host(), QStringLiteral("console.anthropic.com"));
  EXPECT_EQ(opened[1].host(), QStringLiteral("platform.openai.com"));
}

TEST_F(TranslationSettingsViewTest, MeetsTheWindowStandardInLightAndDarkPalettes) {
  const struct {
    const char* name;
    TranslationConnectionMode mode;
    bool failedSave;
  } states[] = {{"tool not found", TranslationConnectionMode::cli, false},
                {"key failed to save", TranslationConnectionMode::api, true}};
  for (const auto& state : states) {
    SCOPED_TRACE(state.name);
    WriteFailingKeychain keychain;
    TranslationSettings local(keychain);
    local.setConnectionMode(state.mode);
    TranslationService localService(local, sandbox.endpoints);
    const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
        [&] { return std::make_unique<TranslationSettingsView>(local, localService); },
        [&](QWidget& window) {
          if (!state.failedSave) return;
          keyField(window)->setText(QStringLiteral("typed"));
          buttonWithText(window, "Save")->click();
          ASSERT_EQ(badge(window), QStringLiteral("Failed"));
        });
    EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
  }
}

TEST_F(TranslationSettingsViewTest, ArrowKeysChooseTheProvider) {
  auto view = open();
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  QAbstractButton* claude = buttonWithText(*view, "Claude");
  claude->setFocus();
  QTest::keyClick(claude, Qt::Key_Right);
  EXPECT_TRUE(buttonWithText(*view, "Gemini")->isChecked());
  EXPECT_EQ(settings->selectedProvider(), TranslationProviderType::gemini);
}

TEST_F(TranslationSettingsViewTest, WidgetsKeepTheirSizeWhenTheKeyIsShown) {
  settings->setConnectionMode(TranslationConnectionMode::api);
  auto view = open();
  auto* show = view->findChild<QToolButton*>(QStringLiteral("showKeyButton"));
  const int fieldWidth = keyField(*view)->width();
  EXPECT_EQ(show->accessibleName(), QStringLiteral("Show API Key"));
  show->click();
  QCoreApplication::processEvents();
  EXPECT_EQ(keyField(*view)->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(show->accessibleName(), QStringLiteral("Hide API Key"));
  EXPECT_EQ(keyField(*view)->width(), fieldWidth);
}

TEST(TranslationSettingsViewText, CostHintsAndModelLabels) {
  EXPECT_EQ(TranslationSettingsView::costHint(TranslationProviderType::claude),
            QStringLiteral("≈ $0.02 per hour of audio"));
  EXPECT_EQ(TranslationSettingsView::costHint(TranslationProviderType::gemini),
            QStringLiteral("≈ $0.00 per hour of audio"));
  EXPECT_EQ(TranslationSettingsView::costHint(TranslationProviderType::openai),
            QStringLiteral("≈ $0.01 per hour of audio"));
  EXPECT_EQ(TranslationSettingsView::modelLabel(QStringLiteral("claude-3-5-haiku-20241022")),
            QStringLiteral("3-5-haiku-20241022"));
  EXPECT_EQ(TranslationSettingsView::modelLabel(QStringLiteral("gpt-4o-mini")), QStringLiteral("4o-mini"));
  EXPECT_EQ(TranslationSettingsView::modelLabel(QStringLiteral("gemini-2.0-flash-exp")),
            QStringLiteral("2.0-flash-exp"));
  EXPECT_EQ(TranslationSettingsView::installCommand(TranslationProviderType::gemini),
            QStringLiteral("pip install google-generativeai"));
}

}  // namespace
