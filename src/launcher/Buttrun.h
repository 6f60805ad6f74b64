#pragma once

#include "platform/Exception.h"

#include <QLabel>
#include <QPointer>
#include <QToolButton>

// A program that could not be started; the code is the process start's result (below 32).
class ERunError : public Exception {
public:
    explicit ERunError(unsigned code)
        : Exception(QStringLiteral("Error executing program. Code: ") + QString::number(code)) {}
};

// The icon of a run button. It lies above its button on the bar page and lets every mouse
// event through, so a click on the icon is a click on the button.
class TRunImage : public QLabel {
    Q_OBJECT
public:
    explicit TRunImage(QWidget* parent = nullptr);
};

// One quick-launch button: holds a complete command line, starts it when clicked and shows
// the icon of the program file it starts.
class TRunButton : public QToolButton {
    Q_OBJECT
    Q_PROPERTY(QString CommandLine READ CommandLine WRITE setCommandLine)
    Q_PROPERTY(QString Iconfile READ Iconfile WRITE setIconfile)
    Q_PROPERTY(TRunImage* IconImage READ IconImage)
public:
    explicit TRunButton(QWidget* owner = nullptr);
    ~TRunButton() override;

    const QString& CommandLine() const { return m_commandLine; }
    void setCommandLine(const QString& commandLine) { m_commandLine = commandLine; }
    // A file to take the icon from instead of the command line's program.
    const QString& Iconfile() const { return m_iconfile; }
    void setIconfile(const QString& iconfile) { m_iconfile = iconfile; }
    TRunImage* IconImage() const { return m_image; }
    // The exe name of the program the bar made the button for, which the bar's save stores
    // the button under; the command line alone cannot tell where a folder with blanks ends.
    const QString& ExeName() const { return m_exeName; }
    void setExeName(const QString& exeName) { m_exeName = exeName; }

    // Puts the icon beside the button on its page and loads it; after parent and command line.
    void SetupIcon();
    // Moves the icon onto the button; after every move of the button.
    void PlaceIcon();
    // Starts the command line under the hourglass; raises ERunError when the start fails.
    // Every activation of the button runs it (mouse, Space or Enter, click(), a screen
    // reader's press); clicked() follows only a successful start.
    void Click();

    // The file that SetupIcon reads the icon from: Iconfile, else the command line up to and
    // including its first blank (empty without a blank).
    QString iconSource() const;

protected:
    // Qt runs this on every activation, just before it emits released() and clicked().
    void nextCheckState() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void endSilence();

    QString m_commandLine;
    QString m_iconfile;
    QString m_exeName;
    QPointer<TRunImage> m_image;
    bool m_silenced = false;
};
