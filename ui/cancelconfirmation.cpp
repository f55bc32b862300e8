#include "ui/cancelconfirmation.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

bool askCancelConfirmation(QWidget *parent)
{
    // The box lives on the heap and is watched: the download keeps running in
    // the modal loop and may delete the parent, which deletes its children.
    QPointer<QMessageBox> box = new QMessageBox(parent);
    box->setObjectName(QLatin1String(kCancelConfirmationName));
    box->setWindowTitle(QStringLiteral("确认取消"));
    box->setText(QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
    box->setIcon(QMessageBox::Question);
    QPushButton *confirm = box->addButton(QStringLiteral("确认"), QMessageBox::YesRole);
    confirm->setObjectName(QLatin1String(kCancelConfirmButtonName));
    QPushButton *reject = box->addButton(QStringLiteral("取消"), QMessageBox::NoRole);
    reject->setObjectName(QLatin1String(kCancelRejectButtonName));
    box->setDefaultButton(reject);
    // Escape and the close button count as "取消".
    box->setEscapeButton(reject);

    box->exec();
    if (box.isNull())
        return false;
    const bool confirmed = box->clickedButton() == confirm;
    delete box.data();
    return confirmed;
}
