#ifndef E2EHELPERS_H
#define E2EHELPERS_H

// Helpers for tests that drive windows as a user does: widgets are found by
// their texts, and modal windows are answered so that none blocks a test.

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <utility>

// Answers every modal window while it lives and records it as "title: text":
// a message box gets its "Yes" button if it has one, else its first; a file
// dialog gets `save_name` typed into its name field (recorded only when it
// refuses the name); any other dialog is accepted.
class ModalAnswerer : public QObject {
public:
    QStringList seen;
    QString save_name;

    ModalAnswerer() {
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start(10);
    }
    QStringList take() { return std::exchange(seen, {}); }

private:
    void poll() {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            seen << box->windowTitle() + ": " + box->text();
            QAbstractButton *yes = box->button(QMessageBox::Yes);
            (yes ? yes : box->buttons().value(0))->click();
        } else if (auto *fd = qobject_cast<QFileDialog *>(w)) {
            fd->findChild<QLineEdit *>("fileNameEdit")->setText(save_name);
            static_cast<QDialog *>(fd)->accept(); // protected in QFileDialog
            if (fd->isVisible()) {
                seen << "file dialog refused: " + save_name;
                fd->reject();
            }
        } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
            seen << dialog->windowTitle() + ": ";
            dialog->accept();
        }
    }
    QTimer timer;
};

template <typename T> T *find_text(QWidget *parent, const QString &text) {
    for (T *item : parent->findChildren<T *>())
        if (item->text() == text)
            return item;
    return nullptr;
}

// A visible top-level window with this title or of this class.
inline QWidget *find_window(const QString &name) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && (w->windowTitle() == name || w->inherits(qPrintable(name))))
            return w;
    return nullptr;
}

// The field of the form row whose label reads `label`.
template <typename T> T *form_field(QWidget *panel, const QString &label) {
    for (QFormLayout *form : panel->findChildren<QFormLayout *>())
        for (T *field : panel->findChildren<T *>())
            if (auto *l = qobject_cast<QLabel *>(form->labelForField(field));
                l && l->text() == label)
                return field;
    return nullptr;
}

#endif // E2EHELPERS_H
