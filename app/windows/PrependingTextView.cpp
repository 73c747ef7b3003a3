#include "app/windows/PrependingTextView.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace pacs {

PrependingTextView::PrependingTextView(QWidget *parent, int characterLimit)
    : QPlainTextEdit(parent), m_limit(characterLimit)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

void PrependingTextView::prependText(const QString &text)
{
    QString plain = text;
    plain.remove(QLatin1Char('\r'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(plain);
    if (document()->characterCount() > m_limit) {
        QTextCursor tail(document());
        tail.setPosition(m_limit / 2);
        tail.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        tail.removeSelectedText();
    }
}

void PrependingTextView::setAllText(const QString &text)
{
    QString plain = text;
    plain.remove(QLatin1Char('\r'));
    setPlainText(plain);
}

} // namespace pacs
