#include "dialogs/MessageDialogsDouble.h"
#include "platform/MessageDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Waits for the modal box the code under test opens, notes what it shows and presses a button.
void pressWhenShown(SeenBox& seen, QMessageBox::StandardButton press) {
    QTimer::singleShot(0, [&seen, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            pressWhenShown(seen, press);
            return;
        }
        seen = {box->windowTitle(),
                box->text(),
                box->icon(),
                box->standardButtons(),
                box->textFormat(),
                box->defaultButton() ? box->standardButton(box->defaultButton())
                                     : QMessageBox::NoButton};
        box->button(press)->click();
    });
}

} // namespace

class TestMessageDialogs : public QObject {
    Q_OBJECT

private slots:
    void errorBoxTextRule_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("digit") << "Error executing program. Code: 2"
                               << "Error executing program. Code: 2.";
        QTest::newRow("letter") << "Unable to write to x"
                                << "Unable to write to x.";
        QTest::newRow("exclamation") << "Wrong!"
                                     << "Wrong!";
        QTest::newRow("full stop") << "Done."
                                   << "Done.";
        QTest::newRow("hyphen sorts before") << "x-"
                                             << "x-";
        QTest::newRow("comma sorts before") << "x,"
                                            << "x,";
        QTest::newRow("blank") << "x "
                               << "x ";
        QTest::newRow("slash sorts after") << "x/"
                                           << "x/.";
        QTest::newRow("CR LF") << "reply\r\n"
                               << "reply\r\n";
        QTest::newRow("Latin-1 letter")
            << QString::fromLatin1("parool \xf5") << QString::fromLatin1("parool \xf5.");
        QTest::newRow("no-break space")
            << QString::fromLatin1("x\xa0") << QString::fromLatin1("x\xa0.");
        QTest::newRow("beyond Latin-1")
            << QString::fromUtf8("x\u20ac") << QString::fromUtf8("x\u20ac.");
        QTest::newRow("empty") << ""
                               << "";
    }
    void errorBoxTextRule() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(errorBoxText(message), shown);
    }

    void lineBreaks() {
        QCOMPARE(displayText("a\rb"), QStringLiteral("a\nb"));
        QCOMPARE(displayText("a\r\nb\r\rc"), QStringLiteral("a\nb\n\nc"));
        QCOMPARE(displayText("plain"), QStringLiteral("plain"));
    }

    void messageDialogShowsKindButtonsAndText_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("press");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("expected");
        QTest::newRow("information")
            << int(MsgKind::Information) << int(MbOk) << int(QMessageBox::Ok) << "Information"
            << int(QMessageBox::Information) << int(MbOk);
        QTest::newRow("warning yes no")
            << int(MsgKind::Warning) << (MbYes | MbNo) << int(QMessageBox::No) << "Warning"
            << int(QMessageBox::Warning) << int(MbNo);
        QTest::newRow("error") << int(MsgKind::Error) << int(MbOk) << int(QMessageBox::Ok)
                               << "Error" << int(QMessageBox::Critical) << int(MbOk);
        QTest::newRow("confirmation cancel")
            << int(MsgKind::Confirmation) << (MbOk | MbCancel) << int(QMessageBox::Cancel)
            << "Confirm" << int(QMessageBox::Question) << int(MbCancel);
        QTest::newRow("confirmation yes")
            << int(MsgKind::Confirmation) << (MbYes | MbNo | MbCancel) << int(QMessageBox::Yes)
            << "Confirm" << int(QMessageBox::Question) << int(MbYes);
    }
    void messageDialogShowsKindButtonsAndText() {
        QFETCH(int, kind);
        QFETCH(int, buttons);
        QFETCH(int, press);
        QFETCH(QString, title);
        QFETCH(int, icon);
        QFETCH(int, expected);
        SeenBox seen;
        pressWhenShown(seen, QMessageBox::StandardButton(press));
        const int pressed = MessageDlg("First <b>line</b>\rSecond line", MsgKind(kind), buttons);
        QCOMPARE(pressed, expected);
        QCOMPARE(seen.title, title);
        QCOMPARE(int(seen.icon), icon);
        QCOMPARE(seen.text, QStringLiteral("First <b>line</b>\nSecond line"));
        QCOMPARE(seen.format, Qt::PlainText);
        QMessageBox::StandardButtons offered;
        if (buttons & MbOk) {
            offered |= QMessageBox::Ok;
        }
        if (buttons & MbYes) {
            offered |= QMessageBox::Yes;
        }
        if (buttons & MbNo) {
            offered |= QMessageBox::No;
        }
        if (buttons & MbCancel) {
            offered |= QMessageBox::Cancel;
        }
        QCOMPARE(seen.buttons, offered);
        QCOMPARE(seen.defaultButton, (buttons & MbOk) ? QMessageBox::Ok : QMessageBox::Yes);
    }

    void plainMessageBoxHasTitleNoIconAndOk() {
        setApplicationTitle("Quorvane");
        SeenBox seen;
        pressWhenShown(seen, QMessageBox::Ok);
        ShowMessage("Parool muudetud!");
        QCOMPARE(seen.title, QStringLiteral("Quorvane"));
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(seen.text, QStringLiteral("Parool muudetud!"));
    }

    void errorBoxHasCaptionAndErrorIcon() {
        SeenBox seen;
        pressWhenShown(seen, QMessageBox::Ok);
        messageDialogs().errorBox("Quorvane", "Error executing program. Code: 2.");
        QCOMPARE(seen.title, QStringLiteral("Quorvane"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(seen.text, QStringLiteral("Error executing program. Code: 2."));
    }

    void wrappersGoToInstalledDialogs() {
        MessageDialogs* real = &messageDialogs();
        {
            MessageDialogsDouble dialogs;
            dialogs.answer(MbNo);
            QCOMPARE(MessageDlg("a\rb", MsgKind::Confirmation, MbYes | MbNo), int(MbNo));
            QCOMPARE(MessageDlg("c", MsgKind::Warning, MbNo | MbCancel), int(MbNo));
            ShowMessage("d");
            QCOMPARE(dialogs.texts(), QStringList({"a\rb", "c", "d"}));
            QCOMPARE(dialogs.calls().at(0).caption, QStringLiteral("Confirm"));
            QCOMPARE(dialogs.last().call, DialogCall::MessageBox);
        }
        QCOMPARE(&messageDialogs(), real);
        setMessageDialogs(nullptr);
        QCOMPARE(&messageDialogs(), real);
    }
};

QTEST_MAIN(TestMessageDialogs)
#include "tst_messagedialogs.moc"
