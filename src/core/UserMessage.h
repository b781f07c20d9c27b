#pragma once

#include <QString>

// A message for the user that the core cannot show itself: the window puts it into a message
// box, the command-line tool prints it.
struct UserMessage
{
    enum class Icon { Information, Error };

    QString title = QStringLiteral("Brasvik");
    QString text;
    Icon icon = Icon::Error;

    bool isEmpty() const { return text.isEmpty(); }
};
