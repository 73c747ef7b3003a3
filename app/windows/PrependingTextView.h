#pragma once

#include <QPlainTextEdit>

namespace pacs {

// A read-only text box whose new text goes on top, as the program's logs
// show newest first. Old text beyond the limit is dropped at the bottom.
class PrependingTextView : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit PrependingTextView(QWidget *parent = nullptr, int characterLimit = 2 * 1024 * 1024);

    void prependText(const QString &text); // line breaks as "\r\n" or "\n"
    void setAllText(const QString &text);

private:
    int m_limit;
};

} // namespace pacs
