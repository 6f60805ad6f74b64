#pragma once

#include "platform/HandlerGuard.h"

#include <QApplication>

// The application object. It is the top-level error handler: every handler's guard hands it
// the error that ended an event, and it shows the message in the error box with the
// application title as caption; the event ends there and the program goes on.
class QuorvaneApplication : public QApplication, public TopLevelErrorHandler {
    Q_OBJECT
public:
    static inline const QString Title = QStringLiteral("Quorvane");

    QuorvaneApplication(int& argc, char** argv);
    ~QuorvaneApplication() override;

    void handleException(const Exception& error) override;

    // The last resort for an error that escaped a handler without a guard.
    bool notify(QObject* receiver, QEvent* event) override;

    // Creates the drive folder before anything reads or writes below it. When that fails the
    // user is told once, naming the folder on disk, and the program goes on: the sign-in
    // works without it.
    static void createDriveFolder();
};
