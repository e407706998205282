#ifndef MODALDRIVER_H
#define MODALDRIVER_H

#include <functional>

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QWidget;

// Plays the operator for modal windows: polls QApplication::activeModalWidget() from inside
// their event loops and works through a queue of expected steps. Every message box and
// input dialog is recorded; one that no step expects is recorded and closed. A modal window
// that stays up with no step for it (a dialog that a wrong flow left open) fails the test
// and is closed after a few seconds, so a wrong flow fails fast instead of hanging.
class ModalDriver : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool expected = false;

        // "Warning | Warn! | User name is empty | Ok": icon, title, text and buttons.
        QString summary() const;
    };

    struct Input
    {
        QString title;
        QString label;
        QString initialText;
        int echoMode = -1;
    };

    explicit ModalDriver(QObject *parent = nullptr);

    // The next message box is answered with button.
    void answerBox(QMessageBox::StandardButton button);
    // The next text input dialog gets text typed over its content, then OK or Cancel.
    void answerInput(const QString &text, bool accept);
    // The next time target is the active modal window, action runs on it.
    void act(QWidget *target, const std::function<void()> &action);
    // The next modal window that match accepts is handed to action.
    void actOn(
        const std::function<bool(QWidget *)> &match, const std::function<void(QWidget *)> &action);

    bool allDone() const { return steps.isEmpty(); }
    // How long a modal window may wait for a step before it is closed as stuck.
    void setPatience(int ms) { patienceMs = ms; }
    int unexpectedCount() const;

    QList<Box> boxes;
    QList<Input> inputs;

private:
    struct Step
    {
        std::function<bool(QWidget *)> match;
        std::function<void(QWidget *)> action;
    };

    void poll();
    bool isHandled(QWidget *widget) const;

    // Fails the test and closes the modal window that has waited too long.
    void giveUp(QWidget *modal);

    QTimer timer;
    QElapsedTimer waiting;
    QPointer<QWidget> waitingOn;
    int patienceMs = 5000;
    QList<Step> steps;
    QList<QPointer<QWidget>> handled;
    bool stepQueued = false;
};

#endif // MODALDRIVER_H
