#pragma once

#include <QApplication>

class Exception;

// The application object. Its top-level error handler catches every error of the system's
// general error class that escapes an event handler, and shows its message in the error box
// with the application title as caption; the event ends there and the program goes on.
class QuorvaneApplication : public QApplication {
    Q_OBJECT
public:
    static inline const QString Title = QStringLiteral("Quorvane");

    QuorvaneApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // What the handler does with an error that reached it.
    static void showException(const Exception& error);

    // Creates the drive folder before anything reads or writes below it. When that fails the
    // user is told once, naming the folder on disk, and the program goes on: the sign-in
    // works without it.
    static void createDriveFolder();
};
