#pragma once

#include <QDialog>
#include <QStringList>

#include <deque>
#include <functional>

class TBKMainForm;

// Answers the modal dialogs and message boxes of a main window in order, without a nested
// event loop. Each step gets the dialog and returns its modal result; the class names of all
// dialogs run are recorded. A dialog without a step left is cancelled and recorded as such.
class ModalScript
{
public:
    using Step = std::function<int(QDialog &)>;

    explicit ModalScript(TBKMainForm &window);

    ModalScript &then(Step step);
    // Presses OK on a dialog of the given class, after clicking the named radio button.
    ModalScript &ok(const char *className, const char *radioButton = nullptr);
    ModalScript &cancel(const char *className);
    // Records a message box's text and closes it.
    ModalScript &message();

    QStringList seen;
    QStringList messages;
    QStringList unexpected;
    bool finished() const { return m_steps.empty(); }

private:
    std::deque<Step> m_steps;
};
