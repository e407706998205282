#include "modaldriver.h"

#include <utility>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>

namespace {

ModalDriver::Box describe(QMessageBox *box, bool expected)
{
    ModalDriver::Box record;
    record.title = box->windowTitle();
    record.text = box->text();
    record.icon = box->icon();
    record.buttons = box->standardButtons();
    record.expected = expected;
    return record;
}

} // namespace

QString ModalDriver::Box::summary() const
{
    static const std::pair<QMessageBox::Icon, const char *> icons[] = {
        { QMessageBox::NoIcon, "NoIcon" },
        { QMessageBox::Information, "Information" },
        { QMessageBox::Warning, "Warning" },
        { QMessageBox::Critical, "Critical" },
        { QMessageBox::Question, "Question" },
    };
    static const std::pair<QMessageBox::StandardButton, const char *> names[] = {
        { QMessageBox::Ok, "Ok" },
        { QMessageBox::Yes, "Yes" },
        { QMessageBox::No, "No" },
        { QMessageBox::Cancel, "Cancel" },
    };
    QString iconName;
    for (const auto &entry : icons) {
        if (entry.first == icon)
            iconName = QLatin1String(entry.second);
    }
    QStringList buttonNames;
    QMessageBox::StandardButtons rest = buttons;
    for (const auto &entry : names) {
        if (rest.testFlag(entry.first)) {
            buttonNames.append(QLatin1String(entry.second));
            rest &= ~QMessageBox::StandardButtons(entry.first);
        }
    }
    if (rest)
        buttonNames.append(QString::number(int(rest), 16));
    return QStringList({ iconName, title, text, buttonNames.join(QLatin1Char('|')) })
        .join(QLatin1String(" | "));
}

ModalDriver::ModalDriver(QObject *parent)
    : QObject(parent)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start();
}

void ModalDriver::answerBox(QMessageBox::StandardButton button)
{
    steps.append({ [](QWidget *w) { return qobject_cast<QMessageBox *>(w) != nullptr; },
        [this, button](QWidget *w) {
            auto *box = static_cast<QMessageBox *>(w);
            boxes.append(describe(box, true));
            if (QAbstractButton *b = box->button(button))
                b->click();
            else
                box->done(-1);
        } });
}

void ModalDriver::answerInput(const QString &text, bool accept)
{
    steps.append({ [](QWidget *w) { return qobject_cast<QInputDialog *>(w) != nullptr; },
        [this, text, accept](QWidget *w) {
            auto *dialog = static_cast<QInputDialog *>(w);
            inputs.append({ dialog->windowTitle(), dialog->labelText(), dialog->textValue(),
                int(dialog->textEchoMode()) });
            QLineEdit *edit = dialog->findChild<QLineEdit *>();
            if (edit) {
                edit->selectAll();
                QTest::keyClick(edit, Qt::Key_Backspace);
                QTest::keyClicks(edit, text);
            }
            auto *buttons = dialog->findChild<QDialogButtonBox *>();
            QPushButton *button = buttons
                ? buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
                : nullptr;
            if (button && edit)
                button->click();
            else
                dialog->done(-1);
        } });
}

void ModalDriver::act(QWidget *target, const std::function<void()> &action)
{
    QPointer<QWidget> guard(target);
    steps.append(
        { [guard](QWidget *w) { return guard && w == guard; }, [action](QWidget *) { action(); } });
}

void ModalDriver::actOn(
    const std::function<bool(QWidget *)> &match, const std::function<void(QWidget *)> &action)
{
    steps.append({ match, action });
}

int ModalDriver::unexpectedCount() const
{
    int count = 0;
    for (const Box &box : boxes) {
        if (!box.expected)
            ++count;
    }
    return count;
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (modal != waitingOn) {
        waitingOn = modal;
        waiting.start();
    } else if (modal && !stepQueued && waiting.hasExpired(patienceMs)) {
        giveUp(modal);
        return;
    }
    if (!modal || isHandled(modal))
        return;
    if (stepQueued)
        return;
    const bool isBox = qobject_cast<QMessageBox *>(modal) || qobject_cast<QInputDialog *>(modal);
    if (!steps.isEmpty() && steps.first().match(modal)) {
        const Step step = steps.takeFirst();
        // A box is answered once; a dialog under test may be acted on again and again.
        if (isBox)
            handled.append(modal);
        QPointer<QWidget> guard(modal);
        stepQueued = true;
        // Run from the event queue: a step that opens the next modal window must not do so
        // inside this timer's slot, or the timer could not fire in the nested loop.
        QMetaObject::invokeMethod(
            this,
            [this, step, guard]() {
                stepQueued = false;
                if (guard)
                    step.action(guard);
            },
            Qt::QueuedConnection);
        return;
    }
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        handled.append(modal);
        boxes.append(describe(box, false));
        box->done(-1);
    } else if (auto *input = qobject_cast<QInputDialog *>(modal)) {
        handled.append(modal);
        input->done(-1);
    }
}

void ModalDriver::giveUp(QWidget *modal)
{
    const QString title = modal->windowTitle();
    boxes.append({ title, QStringLiteral("(left open, closed by the test)"), QMessageBox::NoIcon,
        {}, false });
    waitingOn = nullptr;
    QTest::qFail(qPrintable(QStringLiteral("modal window \"%1\" (%2) left open with no step for it")
                                .arg(title, QLatin1String(modal->metaObject()->className()))),
        __FILE__, __LINE__);
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        box->done(-1);
    else if (auto *dialog = qobject_cast<QDialog *>(modal))
        dialog->done(-1);
    else
        modal->close();
}

bool ModalDriver::isHandled(QWidget *widget) const
{
    for (const QPointer<QWidget> &p : handled) {
        if (p == widget)
            return true;
    }
    return false;
}
