#include "Views/Workspace/InlineTextEditor.h"

#include "Models/TranscriptionResult.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QKeyEvent>
#include <QTextBlock>

#include <algorithm>
#include <cmath>

namespace parlowvista {

InlineTextEditor::InlineTextEditor(const QString& text, QWidget* parent) : QTextEdit(parent) {
  setAcceptRichText(false);
  setPlainText(text);
  setTabChangesFocus(true);
  setLineWrapMode(QTextEdit::WidgetWidth);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  document()->setDocumentMargin(8);
  setAccessibleName("Segment text");
  // The caret starts after the last character with nothing selected.
  QTextCursor cursor = textCursor();
  cursor.movePosition(QTextCursor::End);
  setTextCursor(cursor);
  connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
          &InlineTextEditor::preferredHeightChanged);
}

int InlineTextEditor::preferredHeight() const {
  // The document margin holds the 8-point insets; its size is the used height plus both.
  const double used = document()->size().height() - 2 * document()->documentMargin();
  const int height = int(std::ceil(std::max(0.0, used))) + 24;
  return std::clamp(height, 60, 1000);
}

qint64 InlineTextEditor::caretCharacterPosition() const {
  return TranscriptionResult::characterPositionForCaret(toPlainText(), textCursor().selectionStart());
}

bool InlineTextEditor::end() {
  if (m_ended) return false;
  m_ended = true;
  return true;
}

void InlineTextEditor::keyPressEvent(QKeyEvent* event) {
  if (m_ended) {
    event->accept();
    return;
  }
  switch (event->key()) {
    case Qt::Key_Return:  // the main Return key, with or without modifiers; keypad Enter is Key_Enter
      event->accept();
      if (end()) emit splitRequested(toPlainText(), caretCharacterPosition());
      return;
    case Qt::Key_Escape:
      event->accept();
      if (end()) emit cancelled();
      return;
    case Qt::Key_Backspace:
      if (!textCursor().hasSelection() && textCursor().position() == 0) {
        event->accept();
        if (end()) emit mergeRequested(toPlainText());
        return;
      }
      break;
    default: break;
  }
  QTextEdit::keyPressEvent(event);
}

void InlineTextEditor::focusOutEvent(QFocusEvent* event) {
  QTextEdit::focusOutEvent(event);
  // Switching windows or opening a menu is not leaving the field.
  if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) return;
  // The row's own buttons beside the field belong to the same session.
  QWidget* next = QApplication::focusWidget();
  if (next && parentWidget() && parentWidget()->isAncestorOf(next)) return;
  if (end()) emit committed(toPlainText());
}

}  // namespace parlowvista
