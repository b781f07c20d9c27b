#include "ModalScript.h"

#include "shell/BKDialog.h"
#include "shell/BrasvikMain.h"

#include <QMessageBox>
#include <QRadioButton>
#include <QTest>

ModalScript::ModalScript(TBKMainForm &window)
{
    window.RunModal = [this](QDialog &dialog) {
        seen << QString::fromLatin1(dialog.metaObject()->className());
        if (m_steps.empty()) {
            unexpected << seen.constLast();
            return int(mrCancel);
        }
        const Step step = std::move(m_steps.front());
        m_steps.pop_front();
        return step(dialog);
    };
}

ModalScript &ModalScript::then(Step step)
{
    m_steps.push_back(std::move(step));
    return *this;
}

ModalScript &ModalScript::ok(const char *className, const char *radioButton)
{
    const QString expected = QString::fromLatin1(className);
    const QString button = radioButton ? QString::fromLatin1(radioButton) : QString();
    return then([this, expected, button](QDialog &dialog) {
        auto *form = qobject_cast<TBKDialog *>(&dialog);
        if (!form || expected != QLatin1String(dialog.metaObject()->className())) {
            unexpected << QStringLiteral("wanted %1").arg(expected);
            return int(mrCancel);
        }
        if (!button.isEmpty()) {
            auto *rb = dialog.findChild<QRadioButton *>(button);
            if (!rb || !rb->isEnabled()) {
                unexpected << QStringLiteral("no enabled %1").arg(button);
                return int(mrCancel);
            }
            rb->click();
        }
        form->ButtonOKClick();
        return form->result();
    });
}

ModalScript &ModalScript::cancel(const char *className)
{
    const QString expected = QString::fromLatin1(className);
    return then([this, expected](QDialog &dialog) {
        if (expected != QLatin1String(dialog.metaObject()->className()))
            unexpected << QStringLiteral("wanted %1").arg(expected);
        dialog.reject();
        return dialog.result();
    });
}

ModalScript &ModalScript::message()
{
    return then([this](QDialog &dialog) {
        auto *box = qobject_cast<QMessageBox *>(&dialog);
        if (!box) {
            unexpected << QStringLiteral("wanted a message box");
            return int(mrCancel);
        }
        messages << QStringLiteral("%1|%2|%3")
                        .arg(box->windowTitle())
                        .arg(box->icon() == QMessageBox::Critical ? "error" : "info")
                        .arg(box->text());
        return int(QMessageBox::Ok);
    });
}
