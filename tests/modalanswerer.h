#ifndef MODALANSWERER_H
#define MODALANSWERER_H

// Answers the modal dialogs a test step opens: each answer is armed before the
// step for a dialog of one class and title, and given inside that very dialog's
// event loop once it shows, so no step depends on timing. A modal dialog nobody
// armed for fails the test and is closed unanswered, never blocking the suite.

#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <utility>

class ModalAnswerer : public QObject {
public:
    ModalAnswerer() { qApp->installEventFilter(this); }

    // Arms the answer for the next modal T titled `title`: a message box gets
    // the button `answer` clicked (Ok by default), a file dialog chooses the
    // path `answer` (cancelled if empty), any other dialog is accepted.
    template <class T> void expect(const QString &title, const QVariant &answer = {}) {
        armed.append({&T::staticMetaObject, title, answer});
    }
    // Every armed dialog has shown; its answer follows inside its event loop.
    bool answered() const { return armed.isEmpty(); }
    // "title: text" of each message box and other dialog shown, in order, then
    // "not shown: title" for each armed one that never came (disarmed).
    QStringList take() {
        for (const Armed &a : std::exchange(armed, {}))
            said << "not shown: " + a.title;
        return std::exchange(said, {});
    }

private:
    struct Armed {
        const QMetaObject *type;
        QString title;
        QVariant answer;
    };
    QList<Armed> armed;
    QStringList said;

    bool eventFilter(QObject *o, QEvent *e) override {
        auto *d = e->type() == QEvent::Show ? qobject_cast<QDialog *>(o) : nullptr;
        if (!d || !d->isModal())
            return false; // only exec() blocks, and it makes its dialog modal
        const auto it = std::find_if(armed.begin(), armed.end(), [d](const Armed &a) {
            return d->inherits(a.type->className()) && d->windowTitle() == a.title;
        });
        const bool expected = it != armed.end();
        const QVariant answer =
            expected ? armed.takeAt(int(it - armed.begin())).answer : QVariant();
        auto *box = qobject_cast<QMessageBox *>(d);
        const QString told = d->windowTitle() + ": " + (box ? box->text() : QString());
        if (!expected || !qobject_cast<QFileDialog *>(d))
            said << told;
        // Queued: the dialog's event loop starts right after it shows.
        QMetaObject::invokeMethod(
            this,
            [this, d = QPointer<QDialog>(d), expected, answer, told] {
                if (!d || !d->isVisible())
                    return;
                const QString failure = expected ? give(d, answer) : "unexpected modal dialog";
                if (failure.isEmpty())
                    return;
                said << failure + " (" + told + ")";
                QTest::qFail(qPrintable(said.last()), __FILE__, __LINE__);
                d->reject(); // also harmless once hidden
            },
            Qt::QueuedConnection);
        return false;
    }
    // Answers `d` as armed: what went wrong, or nothing.
    static QString give(QDialog *d, const QVariant &answer) {
        if (auto *box = qobject_cast<QMessageBox *>(d)) {
            const auto press =
                answer.isValid() ? QMessageBox::StandardButton(answer.toInt()) : QMessageBox::Ok;
            if (!box->button(press))
                return "no such button";
            box->button(press)->click();
            return {};
        }
        auto *fd = qobject_cast<QFileDialog *>(d);
        const QString path = answer.toString();
        if (!fd || path.isEmpty()) {
            fd ? d->reject() : d->accept();
            return {};
        }
        // Typed and accepted at once, so the dialog's directory model, which
        // fills in the background, cannot change the choice.
        fd->selectFile(path);
        fd->findChild<QLineEdit *>("fileNameEdit")->setText(path);
        d->accept();
        if (fd->isVisible() || fd->selectedFiles().value(0) != path)
            return "the file dialog did not take " + path;
        return {};
    }
};

#endif // MODALANSWERER_H
