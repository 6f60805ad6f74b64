// A stand-in client program for the demo: the launcher fetches it under the database's exe
// names and starts it as "program server user password company". The window shows what
// arrived, so each launch can be seen; the password never appears on the screen.
#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

namespace {

QString argument(const QStringList& args, int index) {
    return index < args.size() ? args.at(index) : QString();
}

QString shown(const QString& text) {
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

// A fixed-length mask, so the window does not tell the password's length either.
QString masked(const QString& password) {
    return password.isEmpty() ? shown(password) : QStringLiteral("********");
}

QLabel* value(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

int main(int argc, char** argv) {
    // Qt sees only the program name, so a password such as "-reverse" is not taken for one of
    // its options.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // The launcher passes the program's Windows path as written, e.g. c:\qv\finance\ledger.exe.
    const QString path = argument(args, 0);
    const QString program =
        path.mid(qMax(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/'))) + 1);

    QWidget window;
    window.setWindowTitle(program + QStringLiteral(" - Quorvane demo client"));
    auto* layout = new QVBoxLayout(&window);
    auto* heading =
        new QLabel(QStringLiteral("<b>%1</b> was started with:").arg(program.toHtmlEscaped()));
    layout->addWidget(heading);

    // The launcher joins the fields with single blanks, so a password with blanks arrives as
    // several words: everything between the user and the last word (the company) is the
    // password, and none of it reaches the screen.
    QString password = argument(args, 3);
    QString company;
    if (args.size() >= 5) {
        password = args.mid(3, args.size() - 4).join(QLatin1Char(' '));
        company = args.last();
    }
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Program:"), value(argument(args, 0)));
    form->addRow(QStringLiteral("Server:"), value(shown(argument(args, 1))));
    form->addRow(QStringLiteral("User:"), value(shown(argument(args, 2))));
    form->addRow(QStringLiteral("Password:"), value(masked(password)));
    form->addRow(QStringLiteral("Company:"), value(shown(company)));
    layout->addLayout(form);

    auto* close = new QPushButton(QStringLiteral("Close"));
    QObject::connect(close, &QPushButton::clicked, &window, &QWidget::close);
    layout->addWidget(close, 0, Qt::AlignRight);

    window.show();
    return app.exec();
}
