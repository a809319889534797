#include "Views/Translation/CreateTranslationSheet.h"

#include "support/QtWindowAudit.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

QPushButton* button(QWidget& sheet, const QString& text) {
  for (QPushButton* b : sheet.findChildren<QPushButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

QSet<QString> allCodes() {
  QSet<QString> codes;
  for (const SupportedLanguage& language : SupportedLanguage::all()) codes.insert(language.code);
  return codes;
}

// Records the translation the sheet asks for and lets the test end it.
struct Presenter {
  QStringList requested;
  std::function<void()> finish;
  int cancels = 0;

  CreateTranslationSheet::CreateTranslation create() {
    return [this](const QString& code, std::function<void()> finished) {
      requested << code;
      finish = std::move(finished);
    };
  }
  CreateTranslationSheet::CancelTranslation cancel() {
    return [this] { ++cancels; };
  }
};

TEST(CreateTranslationSheet, OffersEveryLanguageNotYetTranslated) {
  struct Case {
    const char* name;
    QSet<QString> existing;
    int count;
    QString first;
  };
  const Case cases[] = {
      {"none translated", {}, 34, "en"},
      {"english taken", {"en"}, 33, "pl"},
      {"upper-case code does not match", {"EN"}, 34, "en"},
      {"two taken", {"pl", "de"}, 32, "en"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Presenter presenter;
    CreateTranslationSheet sheet(nullptr, c.existing, true, presenter.create());
    auto* picker = sheet.findChild<QComboBox*>();
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(picker->count(), c.count);
    EXPECT_EQ(sheet.selectedLanguage(), c.first);
    EXPECT_EQ(picker->currentData().toString(), c.first);
    for (const QString& code : c.existing) EXPECT_EQ(picker->findData(code), -1);
    EXPECT_NE(button(sheet, "Translate"), nullptr);
  }
  Presenter presenter;
  CreateTranslationSheet sheet(nullptr, {}, true, presenter.create());
  auto* picker = sheet.findChild<QComboBox*>();
  EXPECT_EQ(picker->itemText(0), QStringLiteral("English"));
  EXPECT_EQ(picker->itemText(1), QStringLiteral("Polish (Polski)"));
  EXPECT_EQ(sheet.size(), QSize(350, 280));
}

TEST(CreateTranslationSheet, GrowsWithALargerFontInsteadOfClipping) {
  for (const bool configured : {true, false}) {
    SCOPED_TRACE(configured ? "picker" : "notice");
    Presenter presenter;
    CreateTranslationSheet sheet(nullptr, {}, configured, presenter.create());
    QFont large = sheet.font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    sheet.setFont(large);
    sheet.show();
    if (configured) sheet.setErrorMessage(QStringLiteral("The provider answered with an error the user must read."));
    QCoreApplication::processEvents();
    EXPECT_GE(sheet.width(), 350);
    EXPECT_GE(sheet.height(), 280);
    for (QLabel* label : sheet.findChildren<QLabel*>()) {
      if (!label->isVisible() || label->text().isEmpty()) continue;
      const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
      EXPECT_GE(label->height(), needed) << label->text().toStdString();
      if (!label->wordWrap()) {
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
      }
    }
  }
}

TEST(CreateTranslationSheet, OpensWithTheFocusOnTheLanguageList) {
  Presenter presenter;
  CreateTranslationSheet sheet(nullptr, {}, true, presenter.create());
  sheet.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
  EXPECT_EQ(QApplication::focusWidget(), sheet.findChild<QComboBox*>());
}

TEST(CreateTranslationSheet, MeetsTheWindowStandardInLightAndDarkPalettes) {
  const struct {
    const char* name;
    QSet<QString> existing;
    bool configured;
    std::function<void(CreateTranslationSheet&)> prepare;
  } states[] = {
      {"choosing", {}, true, {}},
      {"translating", {}, true, [](CreateTranslationSheet& s) { s.startTranslation(); }},
      {"failed",
       {},
       true,
       [](CreateTranslationSheet& s) {
         s.startTranslation();
         s.setErrorMessage(QStringLiteral("Translation failed: the provider refused the key."));
       }},
      {"not configured", {}, false, {}},
      {"all translated", allCodes(), true, {}},
  };
  for (const auto& state : states) {
    SCOPED_TRACE(state.name);
    Presenter presenter;
    const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
        [&] {
          return std::make_unique<CreateTranslationSheet>(nullptr, state.existing, state.configured, presenter.create(),
                                                          presenter.cancel());
        },
        [&](QWidget& window) {
          if (state.prepare) state.prepare(static_cast<CreateTranslationSheet&>(window));
        });
    EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
  }
}

TEST(CreateTranslationSheet, ExplainsWhenNothingCanBeDone) {
  struct Case {
    const char* name;
    QSet<QString> existing;
    bool configured;
    QString title;
  };
  const Case cases[] = {
      {"not configured", {}, false, "Translation Not Configured"},
      {"not configured and all taken", allCodes(), false, "Translation Not Configured"},
      {"all taken", allCodes(), true, "All Languages Translated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Presenter presenter;
    CreateTranslationSheet sheet(nullptr, c.existing, c.configured, presenter.create());
    auto* title = sheet.findChild<QLabel*>(QStringLiteral("noticeTitle"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), c.title);
    EXPECT_EQ(sheet.findChild<QComboBox*>(), nullptr);
    EXPECT_EQ(button(sheet, "Translate"), nullptr);
    ASSERT_NE(button(sheet, "Cancel"), nullptr);
    // Return does nothing here; Escape closes.
    sheet.show();
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_TRUE(presenter.requested.isEmpty());
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
  }
}

TEST(CreateTranslationSheet, TranslateRunsThePresenterAndClosesWhenItEnds) {
  Presenter presenter;
  CreateTranslationSheet sheet(nullptr, {"en"}, true, presenter.create(), presenter.cancel());
  sheet.show();
  auto* picker = sheet.findChild<QComboBox*>();
  picker->setCurrentIndex(picker->findData(QStringLiteral("de")));
  QTest::mouseClick(button(sheet, "Translate"), Qt::LeftButton);

  ASSERT_EQ(presenter.requested, QStringList{"de"});
  EXPECT_TRUE(sheet.isTranslating());
  EXPECT_FALSE(picker->isEnabled());
  auto* translate = sheet.findChild<QPushButton*>(QStringLiteral("translateButton"));
  ASSERT_NE(translate, nullptr);
  EXPECT_FALSE(translate->isEnabled());
  // The busy bar shows in the button's own room.
  QCoreApplication::processEvents();
  EXPECT_GE(translate->width(), 80);
  auto* busy = translate->findChild<QProgressBar*>();
  ASSERT_NE(busy, nullptr);
  EXPECT_TRUE(translate->rect().contains(busy->geometry()));
  EXPECT_TRUE(translate->text().isEmpty());
  EXPECT_EQ(sheet.statusMessage(), QStringLiteral("Preparing translation..."));
  EXPECT_DOUBLE_EQ(sheet.progress(), 0.0);
  bool statusShown = false;
  for (QLabel* label : sheet.findChildren<QLabel*>())
    if (label->text() == QStringLiteral("Preparing translation...") && label->isVisible()) statusShown = true;
  EXPECT_TRUE(statusShown);
  // A run can always be left.
  EXPECT_TRUE(button(sheet, "Cancel")->isEnabled());
  EXPECT_TRUE(sheet.findChild<QToolButton*>(QStringLiteral("closeButton"))->isEnabled());

  // A second press (or Return) does not start a second run.
  QTest::keyClick(&sheet, Qt::Key_Return);
  EXPECT_EQ(presenter.requested.size(), 1);

  presenter.finish();
  EXPECT_FALSE(sheet.isVisible());
  EXPECT_EQ(sheet.result(), QDialog::Accepted);
  EXPECT_EQ(presenter.cancels, 0);
}

TEST(CreateTranslationSheet, ReturnStartsAndEscapeLeavesWithoutTranslating) {
  Presenter presenter;
  CreateTranslationSheet first(nullptr, {}, true, presenter.create());
  first.show();
  QTest::keyClick(&first, Qt::Key_Return);
  EXPECT_EQ(presenter.requested, QStringList{"en"});

  Presenter other;
  CreateTranslationSheet second(nullptr, {}, true, other.create());
  second.show();
  QTest::keyClick(&second, Qt::Key_Escape);
  EXPECT_TRUE(other.requested.isEmpty());
  EXPECT_FALSE(second.isVisible());
}

TEST(CreateTranslationSheet, LeavingDuringARunCancelsIt) {
  for (const char* way : {"Cancel", "close", "Escape"}) {
    SCOPED_TRACE(way);
    Presenter presenter;
    CreateTranslationSheet sheet(nullptr, {}, true, presenter.create(), presenter.cancel());
    sheet.show();
    sheet.startTranslation();
    ASSERT_TRUE(sheet.isTranslating());
    if (QString(way) == "Cancel")
      QTest::mouseClick(button(sheet, "Cancel"), Qt::LeftButton);
    else if (QString(way) == "close")
      QTest::mouseClick(sheet.findChild<QToolButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
    else
      QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
    EXPECT_EQ(presenter.cancels, 1);
    // The run's late end changes nothing.
    presenter.finish();
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
  }
}

TEST(CreateTranslationSheet, AFailedRunShowsItsErrorAndCanBeRetried) {
  Presenter presenter;
  CreateTranslationSheet sheet(nullptr, {}, true, presenter.create(), presenter.cancel());
  sheet.show();
  auto* translate = sheet.findChild<QPushButton*>(QStringLiteral("translateButton"));
  auto* error = sheet.findChild<QLabel*>(QStringLiteral("errorLabel"));
  sheet.startTranslation();
  auto failedRunEnds = presenter.finish;

  sheet.setErrorMessage(QStringLiteral("Translation failed: rate limited"));
  EXPECT_FALSE(sheet.isTranslating());
  EXPECT_TRUE(error->isVisible());
  EXPECT_EQ(error->text(), QStringLiteral("Translation failed: rate limited"));
  EXPECT_TRUE(translate->isEnabled());
  EXPECT_EQ(translate->text(), QStringLiteral("Translate"));
  EXPECT_TRUE(sheet.findChild<QComboBox*>()->isEnabled());
  for (QProgressBar* bar : sheet.findChildren<QProgressBar*>()) EXPECT_FALSE(bar->isVisible());
  // The failed run's end does not close the sheet over its error.
  failedRunEnds();
  EXPECT_TRUE(sheet.isVisible());

  // Retry: a new run, whose end closes the sheet; the first run's late end is ignored.
  translate->click();
  ASSERT_EQ(presenter.requested.size(), 2);
  EXPECT_TRUE(sheet.isTranslating());
  EXPECT_FALSE(error->isVisible());
  failedRunEnds();
  EXPECT_TRUE(sheet.isVisible());
  presenter.finish();
  EXPECT_FALSE(sheet.isVisible());
  EXPECT_EQ(sheet.result(), QDialog::Accepted);
  EXPECT_EQ(presenter.cancels, 0);
}

TEST(CreateTranslationSheet, ErrorTextIsShownInRedUnderThePicker) {
  Presenter presenter;
  CreateTranslationSheet sheet(nullptr, {}, true, presenter.create());
  sheet.show();
  auto* error = sheet.findChild<QLabel*>(QStringLiteral("errorLabel"));
  ASSERT_NE(error, nullptr);
  EXPECT_FALSE(error->isVisible());
  sheet.setErrorMessage(QStringLiteral("Translation failed: <b>x</b>"));
  EXPECT_TRUE(error->isVisible());
  EXPECT_EQ(error->textFormat(), Qt::PlainText);
  sheet.startTranslation();
  EXPECT_FALSE(error->isVisible());
}

}  // namespace
