#pragma once

#include <QTextEdit>

namespace parlowvista {

// The multi-line plain-text field a segment row shows while its text is edited. It turns
// the gestures of transcript editing into signals, each of which ends the editing session:
//   Return (with any modifier)           -> splitRequested(text, caret as a character index)
//   Escape                               -> cancelled()
//   Backspace at position 0, no selection -> mergeRequested(text)
//   focus moving to another widget       -> committed(text)
// One session ends exactly once: after the first of these the field is inert, so the focus
// loss that follows Return, Escape or a merge (when the row closes the field) sends nothing.
// The keypad's Enter and forward Delete keep their ordinary meaning.
class InlineTextEditor : public QTextEdit {
  Q_OBJECT

 public:
  explicit InlineTextEditor(const QString& text, QWidget* parent = nullptr);

  bool hasEnded() const { return m_ended; }
  // Ends the session without a signal (the row's own save or cancel button ended it).
  void markEnded() { m_ended = true; }
  // The height the field wants for its text: the laid-out text plus 24 (the 8-point insets
  // above and below and 8 more), at least 60 and at most 1000.
  int preferredHeight() const;
  // The caret (start of the selection) as a count of user-perceived characters.
  qint64 caretCharacterPosition() const;

 signals:
  void splitRequested(const QString& text, qint64 position);
  void mergeRequested(const QString& text);
  void cancelled();
  void committed(const QString& text);
  void preferredHeightChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  bool end();

  bool m_ended = false;
};

}  // namespace parlowvista
