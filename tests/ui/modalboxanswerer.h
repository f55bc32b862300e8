#pragma once

#include "ui/cancelconfirmation.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>

/// Answers the cancel question from inside its modal loop: polls for the
/// active modal widget named "cancelConfirmation", records what it showed,
/// and then either clicks the named button or, when @p buttonName is empty,
/// hands the box to @p action (e.g. to press Escape). Gives up after
/// about two seconds so that a missing box cannot hang a test.
class ModalBoxAnswerer : public QObject
{
public:
    ModalBoxAnswerer(const QString &buttonName, std::function<void(QMessageBox *)> action = {})
        : button(buttonName)
        , customAction(std::move(action))
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    bool answered = false;
    QString windowTitle;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttonTexts;
    QList<QMessageBox::ButtonRole> buttonRoles;
    QString defaultButtonText;
    QObject *parentSeen = nullptr;

private:
    void poll()
    {
        if (++ticks > 200) {
            timer.stop();
            return;
        }
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->objectName() != QLatin1String(kCancelConfirmationName))
            return;
        timer.stop();
        windowTitle = box->windowTitle();
        text = box->text();
        icon = box->icon();
        parentSeen = box->parent();
        const QList<QAbstractButton *> buttons = box->buttons();
        for (QAbstractButton *b : buttons) {
            buttonTexts << b->text();
            buttonRoles << box->buttonRole(b);
        }
        if (box->defaultButton())
            defaultButtonText = box->defaultButton()->text();
        answered = true;
        if (customAction) {
            customAction(box);
            return;
        }
        auto *target = box->findChild<QPushButton *>(button);
        if (target)
            target->click();
        else
            box->reject(); // never leave a test stuck in the modal loop
    }

    QTimer timer;
    int ticks = 0;
    QString button;
    std::function<void(QMessageBox *)> customAction;
};
