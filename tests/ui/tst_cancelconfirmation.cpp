#include "modalboxanswerer.h"
#include "ui/cancelconfirmation.h"

#include <QWidget>
#include <QtTest>

/// The cancel question shared by both update windows.
class TestCancelConfirmation : public QObject
{
    Q_OBJECT

private slots:
    void boxLooksAsSpecified();
    void answer_data();
    void answer();
    void parentDestroyedWhileOpen();
};

void TestCancelConfirmation::boxLooksAsSpecified()
{
    QWidget parent;
    ModalBoxAnswerer answerer{QLatin1String(kCancelRejectButtonName)};
    askCancelConfirmation(&parent);
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.windowTitle, QStringLiteral("确认取消"));
    QCOMPARE(answerer.text, QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
    QCOMPARE(answerer.icon, QMessageBox::Question);
    QCOMPARE(answerer.parentSeen, &parent);
    QVERIFY(answerer.buttonTexts.contains(QStringLiteral("确认")));
    QVERIFY(answerer.buttonTexts.contains(QStringLiteral("取消")));
    QCOMPARE(answerer.buttonTexts.size(), 2);
    const int yes = answerer.buttonTexts.indexOf(QStringLiteral("确认"));
    const int no = answerer.buttonTexts.indexOf(QStringLiteral("取消"));
    QCOMPARE(answerer.buttonRoles.at(yes), QMessageBox::YesRole);
    QCOMPARE(answerer.buttonRoles.at(no), QMessageBox::NoRole);
    QCOMPARE(answerer.defaultButtonText, QStringLiteral("取消"));
    // The box is gone afterwards, not left hidden under the parent.
    QVERIFY(parent.findChildren<QMessageBox *>().isEmpty());
}

void TestCancelConfirmation::answer_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("expected");

    QTest::newRow("confirm clicked") << QString::fromLatin1(kCancelConfirmButtonName) << 0 << true;
    QTest::newRow("cancel clicked") << QString::fromLatin1(kCancelRejectButtonName) << 0 << false;
    QTest::newRow("Escape pressed") << QString() << int(Qt::Key_Escape) << false;
    QTest::newRow("Return takes the default, which is cancel") << QString() << int(Qt::Key_Return) << false;
    QTest::newRow("box closed") << QString() << 0 << false;
}

void TestCancelConfirmation::answer()
{
    QFETCH(QString, buttonName);
    QFETCH(int, key);
    QFETCH(bool, expected);

    QWidget parent;
    std::function<void(QMessageBox *)> action;
    if (buttonName.isEmpty()) {
        action = [key](QMessageBox *box) {
            if (key)
                QTest::keyClick(box, Qt::Key(key));
            else
                box->close();
        };
    }
    ModalBoxAnswerer answerer(buttonName, action);
    QCOMPARE(askCancelConfirmation(&parent), expected);
    QVERIFY(answerer.answered);
}

void TestCancelConfirmation::parentDestroyedWhileOpen()
{
    // The download goes on inside the modal loop and may tear the window
    // down; the question must then end quietly as "not confirmed".
    auto *parent = new QWidget;
    ModalBoxAnswerer answerer(QString(), [parent](QMessageBox *) { delete parent; });
    QCOMPARE(askCancelConfirmation(parent), false);
    QVERIFY(answerer.answered);
}

QTEST_MAIN(TestCancelConfirmation)
#include "tst_cancelconfirmation.moc"
