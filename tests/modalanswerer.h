#ifndef MODALANSWERER_H
#define MODALANSWERER_H

// Answers the modal dialogs a test step opens, each armed before the step for one class and
// title and given inside the dialog's own event loop, so no step depends on timing. A modal
// dialog nobody armed for fails the test and is closed unanswered, never blocking the suite.

#include <QtTest>
#include <QtWidgets>

class ModalAnswerer : public QObject {
public:
    ModalAnswerer() { qApp->installEventFilter(this); }

    // Arms the answer for the next modal T titled `title`: a message box gets the button
    // `answer` clicked (Ok by default), a file dialog chooses the path `answer` (cancelled if
    // empty), any other dialog is accepted.
    template <class T> void expect(const QString &title, const QVariant &answer = {}) {
        armed.append({&T::staticMetaObject, title, answer});
    }
    // Leaves the dialogs titled `title` out of what take() reports.
    void forget(const QString &title) {
        said.erase(std::remove_if(said.begin(), said.end(),
                                  [&](const QString &t) { return t.startsWith(title + ": "); }),
                   said.end());
    }
    // Every armed dialog has shown (its answer follows inside its event loop).
    bool answered() const { return armed.isEmpty(); }
    // "title: text" of each dialog but file dialogs shown, then "not shown: title" per armed one.
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
        auto reply = [this, d = QPointer<QDialog>(d), expected, answer, told] {
            if (!d || !d->isVisible())
                return;
            const QString failure = expected ? give(d, answer) : "unexpected modal dialog";
            if (failure.isEmpty())
                return;
            said << failure + " (" + told + ")";
            QTest::qFail(qPrintable(said.last()), __FILE__, __LINE__);
            d->reject(); // also harmless once hidden
        };
        QMetaObject::invokeMethod(this, reply, Qt::QueuedConnection);
        return false;
    }
    // Answers `d` as armed: what went wrong, or nothing.
    static QString give(QDialog *d, const QVariant &answer) {
        auto *fd = qobject_cast<QFileDialog *>(d);
        const QString path = answer.toString();
        if (auto *box = qobject_cast<QMessageBox *>(d)) {
            const int press = answer.isValid() ? answer.toInt() : QMessageBox::Ok;
            QAbstractButton *button = box->button(QMessageBox::StandardButton(press));
            if (!button)
                return "no such button";
            button->click();
        } else if (!fd || path.isEmpty()) {
            fd ? d->reject() : d->accept();
        } else { // typed and accepted at once, before the directory model can change the choice
            fd->selectFile(path);
            fd->findChild<QLineEdit *>("fileNameEdit")->setText(path);
            d->accept();
        }
        return {};
    }
};

#endif // MODALANSWERER_H
